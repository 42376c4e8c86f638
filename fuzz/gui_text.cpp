// Fuzz target: an edit field, a text box, an edit box and a terminal window with maxima of -1, 0,
// 1 or more, driven by arbitrary key codes, pointer positions, marks, texts set, appended and
// pasted (with embedded line breaks, very long lines and empty texts), scrolling and focus
// changes. Besides the sanitizers it checks that every text stays terminated, that edit-field
// texts and appended logs stay within their maxima, that editing never grows a text past its
// maximum, and that cursors stay inside their texts.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "gui/core/guilock.h"
#include "gui/core/guiqueue.h"
#include "gui/widgets/edit/guiedit.h"
#include "gui/widgets/editbox/guieditbox.h"
#include "gui/widgets/textbox/guitextbox.h"

#include "gui_fuzzkit.h"

namespace {

using fuzzkit::Check;

GuiPresentationManager* gPm = nullptr;

struct Reader : fuzzkit::Reader {
    int maximum() {
        static const int maxima[] = {-1, 0, 1, 3, 40, 1000};
        return maxima[u8() % std::size(maxima)];
    }
    // A text: bytes of the input up to a zero, a long line, many short lines, or nothing.
    std::string text() {
        switch (u8() % 5) {
        case 0:
            return "";
        case 1:
            return std::string(200 + u16() % 6000, static_cast<char>('a' + u8() % 26));
        case 2: {
            std::string s;
            for (int i = u8(); i > 0; --i) s += (i % 3 == 0) ? "ab\r\n" : (i % 3 == 1) ? "c\r" : "d e-f,\n";
            return s;
        }
        default: {
            const size_t k = std::min<size_t>(n, u8());
            std::string s(reinterpret_cast<const char*>(p), k);
            p += k;
            n -= k;
            return s.c_str(); // up to the first zero
        }
        }
    }
    GuiPoint point() {
        return GuiPoint{static_cast<int16_t>(80 + u16() % 480), static_cast<int16_t>(20 + u16() % 440)};
    }
};

const GuiRect kWindow = MakeGuiRect(100, 40, 539, 439);

struct Scene {
    GuiWindow* window = nullptr;
    GuiEditField* field = nullptr;
    GuiTextBox* box = nullptr;
    GuiEditBox* edit = nullptr;
    GuiTerminalWin* term = nullptr;
};

int Len(const GuiTextThing* t) {
    return t->Text() ? static_cast<int>(std::strlen(t->Text())) : 0;
}

void CheckTexts(const Scene& s) {
    for (const GuiTextThing* t : {static_cast<GuiTextThing*>(s.field), static_cast<GuiTextThing*>(s.box),
                                  static_cast<GuiTextThing*>(s.edit), static_cast<GuiTextThing*>(s.term)}) {
        const int len = Len(t);
        Check(t->miTextLength == (t->Text() ? len + 1 : 0));
        Check(!t->Text() || t->miBufferSize == 0 || len < t->miBufferSize);
    }
    const GuiEditField& f = *s.field;
    Check(f.miMaxLength < 0 || Len(&f) <= f.miMaxLength);
    Check(f.miCursor >= 0 && f.miCursor <= Len(&f));
    Check(f.miFirstVisible >= 0 && f.miFirstVisible <= std::max(f.miCursor, Len(&f)));
    for (const GuiEditBox* e : {s.edit, static_cast<GuiEditBox*>(s.term)}) {
        Check(e->mCursor.row >= 0 && e->mCursor.col >= 0);
        Check(const_cast<GuiEditBox*>(e)->CursorIndex() <= Len(e));
    }
}

GuiEditBox* AnEditBox(const Scene& s, Reader& in) {
    return in.u8() & 1 ? s.edit : s.term;
}

GuiThing* AnyWidget(const Scene& s, Reader& in) {
    GuiThing* all[] = {s.field, s.box, s.edit, s.term};
    return all[in.u8() % 4];
}

void Operate(Scene& s, Reader& in) {
    switch (in.u8() % 12) {
    case 0: { // a key; editing never grows a text past its maximum
        const unsigned key = in.u16() % 700;
        if (in.u8() & 1) {
            s.field->InsertKey(static_cast<int>(key));
            break;
        }
        GuiEditBox* e = AnEditBox(s, in);
        const int before = Len(e);
        e->InsertKey(key);
        Check(e->miMaxLength < 0 || Len(e) <= std::max(before, e->miMaxLength));
        break;
    }
    case 1: {
        const GuiPoint p = in.point();
        fuzzkit::Pointer(static_cast<uint16_t>(GM_POINTER_MOVE + in.u8() % 3), p.x, p.y);
        break;
    }
    case 2: {
        const int a = in.value() % 64, b = in.value() % 64;
        if (in.u8() & 1) {
            s.field->SetMark(a, b);
        } else if (char* t = const_cast<char*>(s.field->Text())) {
            const int len = Len(s.field);
            s.field->SetMark(t + std::clamp(a, 0, len), t + std::clamp(b, 0, len));
        }
        break;
    }
    case 3: {
        const std::string t = in.text();
        GuiTextThing* w = static_cast<GuiTextThing*>(AnyWidget(s, in));
        w->DataSet(t.empty() && (in.u8() & 1) ? nullptr : t.c_str());
        break;
    }
    case 4: { // appended logs stay within their maxima
        const std::string t = in.text();
        GuiTextBox* b = in.u8() % 3 == 0 ? s.box : AnEditBox(s, in);
        b->Append(t.c_str(), in.u8() & 1);
        Check(b->miMaxLength < 0 || t.empty() || Len(b) <= b->miMaxLength);
        break;
    }
    case 5: {
        gPm->SetScratchPad(in.text().c_str());
        GuiThing* w = AnyWidget(s, in);
        const uint16_t types[] = {GM_CUT, GM_COPY, GM_PASTE};
        GuiEditBox* e = dynamic_cast<GuiEditBox*>(w);
        const int before = e ? Len(e) : 0;
        w->Message(GuiMakeMessage(types[in.u8() % 3], w));
        Check(!e || e->miMaxLength < 0 || Len(e) <= std::max(before, e->miMaxLength));
        break;
    }
    case 6:
        if (in.u8() & 1)
            s.field->SetCursorPos(in.point());
        else
            AnEditBox(s, in)->SetCursorRowColFromIndex(in.value());
        break;
    case 7: {
        GuiTextBox* b = in.u8() % 3 == 0 ? s.box : AnEditBox(s, in);
        switch (in.u8() % 6) {
        case 0:
            b->SetScrollMode(in.u8() & 0x0F);
            break;
        case 1:
        case 2: {
            GuiMessage m = GuiMakeMessage(in.u8() & 1 ? GM_VSCROLL : GM_HSCROLL, b);
            m.SetDataWord(0, in.value() % 100000);
            b->Message(m);
            break;
        }
        case 3:
            in.u8() & 1 ? b->LineUp() : b->LineDown();
            break;
        case 4:
            b->SetTopLine(in.value(), in.u8() & 1);
            break;
        default:
            b->SetBorderWhitespace(in.u8() % 12);
            b->SetInterlineSpace(in.u8() % 8);
            break;
        }
        break;
    }
    case 8:
        gPm->MoveFocusTree(AnyWidget(s, in));
        break;
    case 9:
        switch (in.u8() % 3) {
        case 0:
            s.term->Message(GuiMakeMessage(GM_KEY, s.term, nullptr, GUI_KEY_ENTER));
            break;
        case 1:
            s.term->SetPrompt(in.text().c_str());
            break;
        default:
            s.term->Prompt();
            break;
        }
        break;
    case 10:
        for (int n = in.u8() % 8; n > 0; --n) fuzzkit::Tick();
        break;
    default:
        fuzzkit::RedrawWhole(s.window);
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gPm = fuzzkit::Init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in{{data, std::min<size_t>(size, 8192)}};
    fuzzkit::ClearScreen();
    Scene s;
    s.window = new GuiWindow(kWindow, GUI_BORDER_NONE);
    const unsigned short edit = GUI_STYLE_EDITABLE;
    const std::string first = in.text();
    s.field = new GuiEditField(MakeGuiRect(110, 50, 110 + in.u8() % 200, 65), first.c_str(), 1,
                               static_cast<unsigned short>(edit | (in.u8() & 0x002F)), in.maximum());
    s.box = new GuiTextBox(MakeGuiRect(110, 80, 110 + in.u8() % 300, 80 + in.u8() % 150), 2,
                           static_cast<unsigned short>(in.u16() & 0x44EF), in.text().c_str(), in.maximum());
    s.edit = new GuiEditBox(MakeGuiRect(110, 240, 110 + in.u8() % 300, 240 + in.u8() % 100), 3,
                            static_cast<unsigned short>(edit | (in.u16() & 0x840F)), in.text().c_str(),
                            in.maximum());
    s.term =
        new GuiTerminalWin(MakeGuiRect(330, 240, 330 + in.u8() % 200, 240 + in.u8() % 190), 4,
                           static_cast<unsigned short>(edit | (in.u16() & 0x040F)), nullptr, in.maximum());
    s.term->SetPrompt("> ");
    for (GuiEditBox* e : {s.edit, static_cast<GuiEditBox*>(s.term)}) e->mwSignals = 0x0700;
    for (GuiThing* t : {static_cast<GuiThing*>(s.field), static_cast<GuiThing*>(s.box),
                        static_cast<GuiThing*>(s.edit), static_cast<GuiThing*>(s.term)})
        s.window->Add(t, 0);
    gPm->Add(s.window, 1);
    fuzzkit::DispatchAll();
    CheckTexts(s);
    fuzzkit::CheckOutsideUntouched(kWindow);
    for (int ops = 0; in.n && ops < 48; ++ops) {
        Operate(s, in);
        fuzzkit::DispatchAll();
        CheckTexts(s);
        fuzzkit::CheckOutsideUntouched(kWindow);
    }
    gPm->Remove(s.window, 0);
    delete s.window;
    gPm->ClearScratchPad();
    fuzzkit::DispatchAll();
    Check(GuiQueueCount(gpGuiMesgQueue) == 0);
    return 0;
}

// Undefined behaviour ends the run, as a memory error does.
extern "C" const char* __ubsan_default_options() {
    return "halt_on_error=1:print_stacktrace=1";
}
