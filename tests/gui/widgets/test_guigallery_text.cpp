// One of each text, dialog and container widget on one screen, compared with the committed golden
// image.
#include <gtest/gtest.h>

#include <cstdint>

#include "goldenimage.h"
#include "gui/widgets/dialog/guidialog.h"
#include "gui/widgets/edit/guiedit.h"
#include "gui/widgets/editbox/guieditbox.h"
#include "gui/widgets/notebook/guianimwin.h"
#include "gui/widgets/notebook/guigroup.h"
#include "gui/widgets/notebook/guinotebook.h"
#include "gui/widgets/textbox/guitextbox.h"
#include "gui/window/guibutton.h"
#include "gui/window/guiicon.h"
#include "guiharness.h"

using guitest::Harness;

namespace {

GuiRect R(int l, int t, int r, int b) {
    return MakeGuiRect(l, t, r, b);
}

} // namespace

TEST(GuiGallery, TextDialogAndContainerWidgetsMatchTheGoldenImage) {
    if (const std::string skip = guitest::GoldenSkipReason(); !skip.empty()) GTEST_SKIP() << skip;
    Harness h(true);
    auto* w = new GuiWindow(R(0, 0, 639, 479), GUI_BORDER_NONE);
    w->SetColor(0, GUI_LIGHT_GREY);
    h.pm().Add(w, 0);

    // Text widgets.
    auto* field =
        new GuiEditField(R(10, 10, 159, 27), "Edit field", 1, GUI_STYLE_EDITABLE | GUI_BORDER_RECESSED, 40);
    w->Add(field, 0);
    auto* right = new GuiEditField(10, 35, 150, "Right", 2, GUI_STYLE_RIGHT | GUI_BORDER_THIN, -1);
    w->Add(right, 0);
    auto* box = new GuiTextBox(
        R(10, 60, 159, 159), 3, GUI_TB_WRAP | GUI_BORDER_RECESSED,
        "A text box wraps long lines at spaces, commas and hyphens.\r\nSecond line\nThird", -1);
    w->Add(box, 0);
    auto* centred =
        new GuiTextBox(R(170, 10, 299, 69), 4, GUI_TB_CENTRE | GUI_BORDER_THIN, "one\ntwo\nthree", -1);
    w->Add(centred, 0);
    auto* edit = new GuiEditBox(R(170, 80, 299, 159), 5, GUI_STYLE_EDITABLE | GUI_BORDER_THIN,
                                "Edit box\rwith a mark\racross rows", -1);
    w->Add(edit, 0);
    auto* term =
        new GuiTerminalWin(R(10, 170, 299, 239), 6, GUI_STYLE_EDITABLE | GUI_BORDER_THIN, nullptr, -1);
    term->SetPrompt("> ");
    term->Append("help\rcommands: help, info\r", 0);
    term->Prompt();
    w->Add(term, 0);
    w->Add(new GuiVPrompt(R(305, 10, 324, 159), "VERTICAL", 0, GUI_BORDER_THIN), 0);

    // Notebook and group.
    auto* nb = new GuiNotebook(R(330, 10, 629, 159), GUI_NB_TEXT_TABS | GUI_NB_TABS_ABOVE, 6);
    const char* tabs[] = {"General", "Display", "Logging", "Network", "Lap", "About"};
    for (unsigned char i = 0; i < 6; ++i) nb->SetTabString(i, tabs[i]);
    nb->SetPageClient(0, new GuiPrompt(R(0, 0, 9, 9), "Page one", 0, GUI_BORDER_RECESSED, 0));
    w->Add(nb, 0);
    auto* group = new GuiGroup(R(330, 170, 479, 239), "Group", GUI_STYLE_SELECTABLE);
    group->Add(new GuiRadioButton(340, 190, "On", 7, GUI_BTN_ENABLED), 0);
    group->Add(new GuiCheckBox(340, 212, "Off", 8, GUI_BTN_ENABLED), 0);
    w->Add(group, 0);
    auto* grey = new GuiGroup(R(490, 170, 629, 239), "Disabled", GUI_STYLE_SELECTABLE);
    grey->Add(new GuiTextButton(R(500, 195, 579, 219), "Button", 9, GUI_BTN_ENABLED), 0);
    grey->Enable(0);
    w->Add(grey, 0);

    // Icon and animation window.
    w->Add(new GuiIcon(R(10, 250, 25, 265), nullptr, 0, 0), 0);
    static uint32_t back[40 * 30], frame[10 * 10];
    for (int i = 0; i < 40 * 30; ++i) back[i] = (i / 40 + i % 40) % 8 < 4 ? 0x2040A0u : 0x4060C0u;
    for (uint32_t& p : frame) p = 0xFFC000;
    GuiBitmap backBmp{0, 32, 40, 30, 0, reinterpret_cast<uint8_t*>(back)};
    GuiBitmap frameBmp{0, 32, 10, 10, 0, reinterpret_cast<uint8_t*>(frame)};
    GuiBitmap* frames[] = {&frameBmp};
    auto* anim =
        new GuiAnimationWindow(R(40, 250, 79, 279), &backBmp, frames, 1, 15, 10, nullptr, GUI_BORDER_NONE);
    w->Add(anim, 0);

    // Dialogs.
    auto* dialog = new GuiDialog(R(10, 300, 209, 469), "Dialog", nullptr, GUI_BORDER_RAISED);
    dialog->Add(new GuiTextButton(R(60, 420, 159, 444), "Apply", GUI_ID_NOTEXT, GUI_BTN_ENABLED), 0);
    w->Add(dialog, 0);
    auto* message = new GuiMessageWindow(R(220, 250, 419, 339), "Message", "Save changes?",
                                         GUI_MW_YES | GUI_MW_NO | GUI_MW_CANCEL, &gbWindowIconBitmap, w);
    w->Add(message, 0);
    auto* lines = new GuiMLMessageWindow(
        R(430, 250, 629, 379), "Notes",
        "A multi-line message wraps its words in a text box above the buttons.", GUI_MW_OK, nullptr, w);
    w->Add(lines, 0);
    auto* progress =
        new GuiProgressWindow(R(220, 350, 419, 469), "Copying", "meas:/A0101000.000", GUI_MW_CANCEL,
                              GUI_BORDER_RECESSED | GUI_PROGRESS_TEXT | GUI_PROGRESS_PERCENT, nullptr, w);
    w->Add(progress, 0);
    progress->mpProgressBar->Update(40, 0);

    h.pm().MoveFocusTree(field);
    // Marked as by the pointer, from row 0, column 5 to row 1, column 4.
    edit->mAnchor = CURSOR_POS{5, 0};
    edit->mMarkEnd = CURSOR_POS{4, 1};
    edit->mEditFlags = GUI_EB_MARKED;
    GuiThing::mpScreen->Invalidate(w->mRealRect);
    w->Draw();
    anim->SetFrame(0);
    EXPECT_EQ(guitest::CompareScreenWithGolden("gallery_text.png"), 0);
}
