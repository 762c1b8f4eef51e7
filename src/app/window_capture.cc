#include "app/window_capture.h"

#include <QPixmap>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/programmer_dialog.h"
#include "app/qt_text.h"

namespace velloquin {

bool ParseCaptureOptions(const std::vector<std::string>& arguments, CaptureOptions* options,
                         std::string* error) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const bool has_value = i + 1 < arguments.size();
    if (argument == "--screenshot" || argument == "--after-ms") {
      if (!has_value) {
        *error = argument + " needs a value";
        return false;
      }
      const std::string& value = arguments[++i];
      if (argument == "--screenshot") {
        options->screenshot_path = value;
        continue;
      }
      char* end = nullptr;
      long ms = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || ms < 0 || ms > 3600000) {
        *error = "--after-ms takes milliseconds, 0 to 3600000: " + value;
        return false;
      }
      options->after_ms = static_cast<int>(ms);
    } else if (argument == "--frame-report") {
      options->frame_report = true;
    }
  }
  return true;
}

void FrameProbe::Start() {
  timer_.setTimerType(Qt::PreciseTimer);
  timer_.setInterval(kPeriodMs);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    long long now = clock_.nsecsElapsed();
    if (last_ns_ > 0 && now - last_ns_ > longest_gap_ns_) longest_gap_ns_ = now - last_ns_;
    last_ns_ = now;
    ++ticks_;
  });
  clock_.start();
  timer_.start();
}

void FrameProbe::Stop() { timer_.stop(); }

void ArmCapture(ProgrammerDialog* dialog, const CaptureOptions& options, int* result) {
  *result = 0;
  auto probe = std::make_shared<FrameProbe>();
  QTimer::singleShot(0, dialog, [dialog, probe] {
    dialog->OnStart();
    probe->Start();
  });
  QTimer::singleShot(options.after_ms, dialog, [dialog, options, probe, result] {
    probe->Stop();
    dialog->RefreshRows();
    if (!options.screenshot_path.empty()) {
      QPixmap picture = dialog->grab();
      if (!picture.save(ToQt(options.screenshot_path), "PNG")) {
        std::fprintf(stderr, "velloquin: cannot save the screenshot to %s\n",
                     options.screenshot_path.c_str());
        *result = 1;
      }
    }
    if (options.frame_report) {
      std::printf("longest GUI frame: %.1f ms over %.1f s (%lld ticks of a %d ms timer)\n",
                  probe->LongestGapMs(), options.after_ms / 1000.0, probe->Ticks(),
                  FrameProbe::kPeriodMs);
      std::fflush(stdout);
    }
    dialog->close();
  });
}

}  // namespace velloquin
