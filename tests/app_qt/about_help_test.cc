#include "app/about_help.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "app/app_icon.h"
#include "window_fixture.h"

namespace velloquin {
namespace {

using testing_support::WindowFixture;

TEST(Help, OpensThePageBesideTheBootProgramsEveryTimeAndSilently) {
  WindowFixture fixture;
  ProgrammerDialog& dialog = fixture.Make(4);
  fixture.opener_result = false;  // no browser: nothing may show
  QTest::mouseClick(static_cast<QPushButton*>(dialog.Control(1046)), Qt::LeftButton);
  QTest::mouseClick(static_cast<QPushButton*>(dialog.Control(1046)), Qt::LeftButton);
  ASSERT_EQ(fixture.opened.size(), 2u);
  EXPECT_EQ(fixture.opened[0], QUrl("file:///opt/velloquin/share/Zambrix.html"));
  EXPECT_EQ(fixture.opened[1], fixture.opened[0]);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST(Help, PageAddressOfAnOddFolder) {
  QUrl url = HelpPageUrl("/srv/Stätion #1/share/");
  EXPECT_TRUE(url.isLocalFile());
  EXPECT_EQ(url.toLocalFile(), QString("/srv/Stätion #1/share/Zambrix.html"));
}

// Runs `inspect` on the modal box once it is up, then closes it with `close`.
void WhenModalOpens(const std::function<void(QDialog*)>& inspect) {
  QTimer::singleShot(0, [inspect] {
    auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    inspect(box);
  });
}

TEST(About, OpensFromTheContextMenuItemAndClosesWithOk) {
  WindowFixture fixture;
  ProgrammerDialog& dialog = fixture.Make(4);
  dialog.show();
  QAction* item = nullptr;
  for (QAction* action : dialog.actions()) {
    if (action->text() == QString("&About Velloquin...")) item = action;
  }
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(dialog.contextMenuPolicy(), Qt::ActionsContextMenu);
  bool inspected = false;
  WhenModalOpens([&](QDialog* box) {
    inspected = true;
    EXPECT_EQ(box->windowTitle(), QString("About Zambrix"));
    QStringList texts;
    bool has_icon = false;
    for (QLabel* label : box->findChildren<QLabel*>()) {
      texts << label->text();
      if (!label->pixmap().isNull()) has_icon = true;
    }
    EXPECT_TRUE(texts.contains("Velloquin Version 1.20"));
    EXPECT_TRUE(has_icon);
    auto buttons = box->findChildren<QPushButton*>();
    ASSERT_EQ(buttons.size(), 1);
    EXPECT_EQ(buttons[0]->text(), QString("OK"));
    EXPECT_TRUE(buttons[0]->isDefault());
    QTest::mouseClick(buttons[0], Qt::LeftButton);
  });
  item->trigger();  // returns when the box is closed
  EXPECT_TRUE(inspected);
  EXPECT_TRUE(dialog.isVisible()) << "About changes nothing";
}

TEST(About, EscapeClosesTheBoxNotTheWindow) {
  WindowFixture fixture;
  ProgrammerDialog& dialog = fixture.Make(4);
  dialog.show();
  WhenModalOpens([](QDialog* box) { QTest::keyClick(box, Qt::Key_Escape); });
  dialog.ShowAbout();
  EXPECT_TRUE(dialog.isVisible());
}

TEST(AppIcon, DrawnAtEverySize) {
  QIcon icon = AppIcon();
  ASSERT_FALSE(icon.isNull());
  for (int size : {16, 32, 64}) {
    QImage image = DrawAppIcon(size);
    EXPECT_EQ(image.size(), QSize(size, size));
    EXPECT_NE(image.pixelColor(size / 2, size * 3 / 5).alpha(), 0) << "the body is drawn";
    EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0) << "the corners stay clear";
  }
}

}  // namespace
}  // namespace velloquin
