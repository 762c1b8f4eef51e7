// Anchor for the test support library (fakes and fixtures live beside it).
namespace velloquin::testing_support {}
