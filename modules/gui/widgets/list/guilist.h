// Lists and the combo box. A list arranges its client children (usually text buttons or prompts) in
// one column or one row, keeps one of them selected, scrolls the selection into view and tells its
// parent by signal 12 when the selection changes. The combo box is a one-line field that shows a
// picture of the selected entry and drops a list down under the presentation manager.
#pragma once

#include <cstdint>

#include "gui/window/guibutton.h"
#include "gui/window/guiwindow.h"

enum : uint8_t {
    GUI_TYPE_LIST = 161,
    GUI_TYPE_VERT_LIST = 162,
    GUI_TYPE_HORZ_LIST = 163,
    GUI_TYPE_COMBO_BOX = 164,
};
// The selection moves from the last entry to the first and back.
inline constexpr uint16_t GUI_LIST_WRAP = 0x2000;
// Combo box: where the picture of the selection sits in the field (else at the left).
inline constexpr uint16_t GUI_COMBO_RIGHT = 0x0020;
inline constexpr uint16_t GUI_COMBO_CENTRE = 0x0080;
// The selection changed; Param carries the selected entry's id.
inline constexpr unsigned GUI_SIGNAL_LIST_SELECT = 12;

class GuiList : public GuiWindow {
public:
    GuiList(const GuiRect& rect, unsigned int id, unsigned int style);
    ~GuiList() override = default;

    int Message(const GuiMessage& msg) override;
    void Add(GuiThing* thing, int draw) override;
    void AddToEnd(GuiThing* thing, int draw) override;
    GuiThing* Remove(GuiThing* thing, int draw) override;
    int CheckAutoScroll() override;

    virtual void Insert(GuiThing* thing, int index, int select, int draw);
    virtual GuiThing* GetSelected() { return mpSelected; }
    virtual void SetSelected(GuiThing* thing);
    virtual int GetIndex(GuiThing* thing);
    virtual GuiThing* GetThing(int index);
    virtual int GetSelectedIndex() { return GetIndex(mpSelected); }
    virtual GuiThing* SetSelected(int index);
    virtual int Clear();
    virtual void PositionChildren() = 0;

    void ScrollCurrentIntoView(int redraw);
    GuiThing* SelectNext();
    GuiThing* SelectPrevious();
    GuiThing* PageDown();
    GuiThing* PageUp();
    int GetNumItems();

    // An entry: a client child.
    static bool IsEntry(const GuiThing* t) { return t && !(t->mwStatusFlags & GUI_ST_NONCLIENT); }

    GuiThing* mpSelected = nullptr; // one of the children, owned through the child tree
    int32_t miSeparation = 1;       // pixels after each entry

protected:
    // The selected look of the selection.
    void markSelection();
    // Entries repositioned, the automatic bars checked and, when they changed, repositioned again.
    void relayout();
    // The pixels of an entry along the list (heights, or widths across).
    int extent(const GuiThing* t) const;

private:
    GuiThing* step(bool forward);
    GuiThing* page(bool forward);
    int checkAutoScroll(int depth);
};

class GuiVertList : public GuiList {
public:
    GuiVertList(const GuiRect& rect, unsigned int id, unsigned int style);
    void PositionChildren() override;
};

class GuiHorzList : public GuiList {
public:
    GuiHorzList(const GuiRect& rect, unsigned int id, unsigned int style);
    void PositionChildren() override;
};

class GuiComboBox;

// The drop-down list of a combo box: a vertical list that never takes the input focus and closes
// when an entry is clicked.
class ComboList : public GuiVertList {
public:
    ComboList(GuiComboBox* owner, const GuiRect& rect, unsigned int id, unsigned int style);
    int Message(const GuiMessage& msg) override;

    GuiComboBox* mpOwner;
};

class GuiComboBox : public GuiThing {
public:
    GuiComboBox(const GuiRect& rect, unsigned short id, unsigned short style);
    ~GuiComboBox() override;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void Add(GuiThing* thing, int draw) override;
    void AddToEnd(GuiThing* thing, int draw) override;
    GuiThing* Remove(GuiThing* thing, int draw) override;
    void Resize(GuiRect rect) override;
    GuiThing* Find(unsigned short id, int recursive) override;

    virtual void Insert(GuiThing* thing, int index, int select, int draw);
    virtual GuiThing* GetSelected();
    virtual void SetSelected(GuiThing* thing);
    virtual GuiThing* SetSelected(int index);
    virtual int GetIndex(GuiThing* thing);
    virtual GuiThing* GetThing(int index);
    virtual int GetSelectedIndex();
    virtual int Clear();

    void SetScrollMode(unsigned int mode);
    void OpenList();
    void CloseList();
    void CalcCloseHeight();
    void CaptureSelectedToBitmap();
    void SendListSelect();

    bool IsOpen() const { return mbOpen != 0; }
    ComboList* List() const { return mpList; }

    GuiBitmapButton* mpButton = nullptr;
    ComboList* mpList = nullptr;
    GuiBitmap* mpCaptured = nullptr;
    GuiThing* mpLastCaptured = nullptr;
    int32_t miOpenHeight = 0;
    int32_t miCloseHeight = 0;
    int32_t mbOpen = 0;

private:
    int borderInset() const;
    void redraw();
    // The picture shows an entry that is going: it is forgotten with it.
    void forget(GuiThing* entry);
};
