// Registration, dirty flag and painting order. The manager runs off-screen here (no
// window), so these tests need no display.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "ui/ui.h"

namespace {

// Logs its drawing and destruction into a shared journal.
class RecordingObject : public CUIObject {
 public:
  RecordingObject(CUIManager* manager, std::string name, std::vector<std::string>* journal)
      : CUIObject(manager), name_(std::move(name)), journal_(journal) {}
  ~RecordingObject() override {
    // The manager destroys what is listed last first: this must be the last entry.
    const bool last = !manager_->Objects().empty() && manager_->Objects().back() == this;
    journal_->push_back("~" + name_ + (last ? "" : " (not last)"));
  }
  void Draw(ui::Graphics&) override {
    journal_->push_back("draw " + name_);
    if (onDraw) onDraw();
  }

  std::function<void()> onDraw;

 private:
  std::string name_;
  std::vector<std::string>* journal_;
};

std::vector<CUIObject*> List(std::initializer_list<CUIObject*> objects) { return objects; }

TEST(UIManagerTest, ObjectsRegisterInCreationOrderAndDeregisterExactlyThemselves) {
  CUIManager manager(nullptr, 100, 60);
  EXPECT_TRUE(manager.IsDirty()) << "a new manager has never painted";
  manager.Paint();
  EXPECT_FALSE(manager.IsDirty());

  auto* picture = new CUIPicture(&manager);
  EXPECT_TRUE(manager.IsDirty()) << "creation raises the flag";
  auto* bar = new CUIProgress(&manager);
  auto* percent = new CUILabel(&manager);
  auto* status = new CUILabel(&manager);
  EXPECT_EQ(manager.Objects(), List({picture, bar, percent, status}));

  manager.Paint();
  delete bar;
  EXPECT_TRUE(manager.IsDirty()) << "destruction raises the flag";
  EXPECT_EQ(manager.Objects(), List({picture, percent, status}));

  manager.Paint();
  CUILabel stranger(&manager);
  manager.RemoveObject(&stranger);
  manager.Paint();
  manager.RemoveObject(&stranger);
  EXPECT_FALSE(manager.IsDirty()) << "removing an object that is not listed changes nothing";
  EXPECT_EQ(manager.Objects(), List({picture, percent, status}));
}

TEST(UIManagerTest, CanvasRectangleIsTheGivenSizeAtTheOrigin) {
  CUIManager manager(nullptr, 1100, 660);
  const ui::PixelRect canvas = manager.CanvasRect();
  EXPECT_EQ(canvas.x, 0);
  EXPECT_EQ(canvas.y, 0);
  EXPECT_EQ(canvas.width, 1100);
  EXPECT_EQ(canvas.height, 660);
}

TEST(UIManagerTest, DestructionDestroysRemainingObjectsLastRegisteredFirst) {
  std::vector<std::string> journal;
  {
    CUIManager manager(nullptr, 100, 60);
    new RecordingObject(&manager, "a", &journal);
    auto* b = new RecordingObject(&manager, "b", &journal);
    new RecordingObject(&manager, "c", &journal);
    new RecordingObject(&manager, "d", &journal);
    delete b;
  }
  EXPECT_EQ(journal, (std::vector<std::string>{"~b (not last)", "~d", "~c", "~a"}));
}

TEST(UIManagerTest, PaintDrawsVisibleObjectsInListOrderOnlyWhenDirty) {
  std::vector<std::string> journal;
  CUIManager manager(nullptr, 100, 60);
  auto* background = new RecordingObject(&manager, "background", &journal);
  auto* hidden = new RecordingObject(&manager, "hidden", &journal);
  auto* label = new RecordingObject(&manager, "label", &journal);
  background->SetVisible(true);
  label->SetVisible(true);

  manager.Paint();
  EXPECT_EQ(journal, (std::vector<std::string>{"draw background", "draw label"}));
  EXPECT_EQ(manager.Objects(), List({background, hidden, label}))
      << "invisible objects stay listed, so they still get messages";

  journal.clear();
  manager.Paint();
  EXPECT_TRUE(journal.empty()) << "nothing changed, nothing is drawn";

  manager.SetDirty();
  manager.Paint();
  EXPECT_EQ(journal.size(), 2u) << "the flag set from outside repaints everything";
}

TEST(UIManagerTest, ChangeDuringDrawingLeadsToAnotherPaint) {
  std::vector<std::string> journal;
  CUIManager manager(nullptr, 100, 60);
  auto* object = new RecordingObject(&manager, "o", &journal);
  object->SetVisible(true);
  auto* label = new CUILabel(&manager);
  object->onDraw = [label] { label->SetText(L"changed while drawing"); };
  manager.Paint();
  EXPECT_TRUE(manager.IsDirty()) << "the flag is cleared before drawing, not after";
}

// Every drawn property: a call with the value the object already has must not raise
// the flag; a different value must.
struct SetterCase {
  const char* name;
  std::function<void(CUIPicture&, CUIProgress&, CUILabel&)> apply;
  bool raisesDirty;
};

void PrintTo(const SetterCase& setterCase, std::ostream* out) { *out << setterCase.name; }

class SetterTest : public testing::TestWithParam<SetterCase> {};

TEST_P(SetterTest, RaisesTheFlagOnlyOnARealChange) {
  CUIManager manager(nullptr, 100, 60);
  auto* picture = new CUIPicture(&manager);
  auto* bar = new CUIProgress(&manager);
  auto* label = new CUILabel(&manager);
  label->SetText(L"10%");
  label->SetRect(1, 2, 3, 4);
  manager.Paint();
  ASSERT_FALSE(manager.IsDirty());
  GetParam().apply(*picture, *bar, *label);
  EXPECT_EQ(manager.IsDirty(), GetParam().raisesDirty);
}

const float kNaN = std::nanf("");

INSTANTIATE_TEST_SUITE_P(
    Setters, SetterTest,
    testing::Values(
        SetterCase{"SameRect", [](auto&, auto&, CUILabel& l) { l.SetRect(1, 2, 3, 4); }, false},
        SetterCase{"RectX", [](auto&, auto&, CUILabel& l) { l.SetRect(0, 2, 3, 4); }, true},
        SetterCase{"RectY", [](auto&, auto&, CUILabel& l) { l.SetRect(1, 0, 3, 4); }, true},
        SetterCase{"RectWidth", [](auto&, auto&, CUILabel& l) { l.SetRect(1, 2, 0, 4); }, true},
        SetterCase{"RectHeight", [](auto&, auto&, CUILabel& l) { l.SetRect(1, 2, 3, 0); }, true},
        SetterCase{"StillInvisible", [](auto&, auto&, CUILabel& l) { l.SetVisible(false); }, false},
        SetterCase{"Shown", [](auto&, auto&, CUILabel& l) { l.SetVisible(true); }, true},
        SetterCase{"SameText", [](auto&, auto&, CUILabel& l) { l.SetText(L"10%"); }, false},
        SetterCase{"OtherText", [](auto&, auto&, CUILabel& l) { l.SetText(L"11%"); }, true},
        SetterCase{"EmptyText", [](auto&, auto&, CUILabel& l) { l.SetText(L""); }, true},
        SetterCase{"SameColor", [](auto&, auto&, CUILabel& l) { l.SetColor(0xFF000000); }, false},
        SetterCase{"OtherColor", [](auto&, auto&, CUILabel& l) { l.SetColor(0xFFFF0000); }, true},
        SetterCase{"SameAlign", [](auto&, auto&, CUILabel& l) { l.SetAlign(0); }, false},
        SetterCase{"OtherAlign", [](auto&, auto&, CUILabel& l) { l.SetAlign(1); }, true},
        SetterCase{"SameFontSize", [](auto&, auto&, CUILabel& l) { l.SetFontSize(16); }, false},
        SetterCase{"OtherFontSize", [](auto&, auto&, CUILabel& l) { l.SetFontSize(12); }, true},
        SetterCase{"ZeroProgressOnNewBar",
                   [](auto&, CUIProgress& b, auto&) { b.SetProgress(0.0f); }, false},
        SetterCase{"NegativeZeroProgress",
                   [](auto&, CUIProgress& b, auto&) { b.SetProgress(-0.0f); }, false},
        SetterCase{"OtherProgress", [](auto&, CUIProgress& b, auto&) { b.SetProgress(0.25f); },
                   true},
        SetterCase{"NaNProgress", [](auto&, CUIProgress& b, auto&) { b.SetProgress(kNaN); }, true},
        SetterCase{"MissingImage",
                   [](CUIPicture& p, auto&, auto&) { p.SetImage(L"no-such-picture.png"); }, true},
        SetterCase{"MissingBackImage",
                   [](auto&, CUIProgress& b, auto&) { b.SetBackImage(L"no-such-back.png"); }, true},
        SetterCase{"MissingFrontImage",
                   [](auto&, CUIProgress& b, auto&) { b.SetFrontImage(L"no-such-front.png"); },
                   true}),
    [](const testing::TestParamInfo<SetterCase>& info) { return std::string(info.param.name); });

TEST(UIProgressTest, NaNCountsAsAChangeEveryTime) {
  CUIManager manager(nullptr, 100, 60);
  auto* bar = new CUIProgress(&manager);
  bar->SetProgress(kNaN);
  manager.Paint();
  bar->SetProgress(kNaN);
  EXPECT_TRUE(manager.IsDirty()) << "NaN is never equal to the stored NaN";
  manager.Paint();
  bar->SetProgress(0.5f);
  EXPECT_TRUE(manager.IsDirty());
  EXPECT_EQ(bar->progress(), 0.5f);
}

}  // namespace
