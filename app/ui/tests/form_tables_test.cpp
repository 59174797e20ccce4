// The form tables: names unique, every control inside its container in both
// layouts, focus orders that name existing controls, and the places of the
// level rows the two layouts move.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "app/model/preset_model.h"
#include "app/ui/form_tables.h"

namespace presets::ui {
namespace {

TEST(FormTables, EveryControlFitsItsContainerAndFocusOrdersNameControls) {
  for (const FormSpec* form : AllForms()) {
    std::set<std::string_view> seen;
    for (const ControlSpec& c : form->controls) {
      EXPECT_TRUE(seen.insert(c.name).second) << form->name << " " << c.name;
      for (int layout : {1, 2}) {
        const Twips& p = Place(c, layout);
        int width = form->clientWidth, height = form->clientHeight;
        if (!c.parent.empty()) {
          const ControlSpec* parent = FindControl(*form, c.parent);
          ASSERT_NE(parent, nullptr) << c.name;
          width = parent->layout1.width;
          height = parent->layout1.height;
        }
        EXPECT_GE(p.left, 0) << c.name;
        EXPECT_GT(p.width, 0) << c.name;
        EXPECT_LE(p.left + p.width, width) << form->name << " " << c.name << " layout " << layout;
        EXPECT_LE(p.top + p.height, height) << form->name << " " << c.name << " layout " << layout;
        if (c.parent != names::kOptionsPanel) {
          EXPECT_EQ(c.layout1, c.layout2) << c.name;
        }
      }
    }
    for (auto order : {form->focusOrder1, form->focusOrder2}) {
      std::set<std::string_view> once;
      for (std::string_view name : order) {
        EXPECT_NE(FindControl(*form, name), nullptr) << name;
        EXPECT_TRUE(once.insert(name).second) << name;
      }
    }
  }
}

TEST(FormTables, MainFormRowsAndOrders) {
  const FormSpec& main = MainForm();
  struct Case {
    std::string_view name;
    int layout;
    Twips place;
  };
  for (const Case& c : {Case{"Combo_NR", 2, {7440, 4200, 1815, 315}}, Case{"Combo_ColorMatrix", 2, {2040, 3240, 1815, 315}},
                        Case{"HScroll_ColorPhase", 1, {7320, 960, 2055, 255}},
                        Case{"Text_ColorPhase", 2, {3960, 3960, 375, 285}}, Case{"Label_Coring", 1, {6480, 3120, 720, 255}},
                        Case{"Command9", 1, {6600, 480, 1575, 375}}, Case{"Text_PresetName", 2, {1800, 600, 1455, 285}}}) {
    const ControlSpec* control = FindControl(main, c.name);
    ASSERT_NE(control, nullptr) << c.name;
    EXPECT_EQ(Place(*control, c.layout), c.place) << c.name;
  }
  // 5 camera operations, 2 buttons and the name, 6 lists, 9 levels of two, 5 at the bottom.
  ASSERT_EQ(main.focusOrder1.size(), 5u + 3u + 6u + 18u + 5u);
  EXPECT_EQ(main.focusOrder1[9], "Combo_ColorMatrix");
  EXPECT_EQ(main.focusOrder2[main.focusOrder2.size() - 6], "Combo_NR");
  EXPECT_EQ(main.focusOrder2[22], "Combo_VDetail");
  EXPECT_EQ(FindControl(main, "Command6")->tooltip, "Exit !");
  EXPECT_EQ(FindControl(main, "Text_Red")->maxTyped, 2);
  EXPECT_EQ(FindControl(DeleteForm(), "Label3")->caption, "Are you sure you want to delete  this file?");
  EXPECT_EQ(TwipsToPixels(11445), 763);
  EXPECT_EQ(TwipsToPixels(3150), 210);
}

}  // namespace
}  // namespace presets::ui
