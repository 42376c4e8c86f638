// The base of every GUI object: rectangles, colours, identity, status and style bits, its place in
// the object tree, the default message handling, drawing of children, borders, signals to the
// parent and focus helpers. Created and used by the GUI task only; tree changes run under the GUI
// lock (guilock.h), which is recursive, so these operations call each other freely.
#pragma once

#include <cstdint>

#include "gui/core/guimessage.h"
#include "gui/core/guirect.h"

class GuiScreen;
class GuiMessageQueue;
class GuiPresentationLink;
struct Viewport;

// Status bits (mwStatusFlags).
enum : uint16_t {
    GUI_ST_VISIBLE = 0x0001,
    GUI_ST_CURRENT = 0x0002,
    GUI_ST_SELECTABLE = 0x0004,
    GUI_ST_MOVABLE = 0x0008,
    GUI_ST_SIZEABLE = 0x0010,
    GUI_ST_NONCLIENT = 0x0020,
    GUI_ST_FOCUS = 0x0040,
    GUI_ST_FOCUS_STOP = 0x0080,
    GUI_ST_FOCUS_CHILD = 0x0100,
    GUI_ST_SCROLL_LIVE = 0x0200,
    GUI_ST_WINDOW = 0x0400,
    GUI_ST_CAPTURED = 0x0800,
    GUI_ST_FRONT = 0x4000,
    GUI_ST_VIEWPORTS = 0x8000,
};

// Border kinds: the low five bits of the style.
enum : uint16_t {
    GUI_BORDER_NONE = 1,
    GUI_BORDER_THIN = 2,
    GUI_BORDER_RAISED = 4,
    GUI_BORDER_RECESSED = 8,
    GUI_BORDER_THICK = 16,
    GUI_BORDER_MASK = 0x1F,
};

// Type codes; 150 and above mark a window class.
enum : uint8_t { GUI_TYPE_THING = 1, GUI_TYPE_PROMPT = 17, GUI_TYPE_WINDOW = 150 };

// Colours of the library's 3-D look.
enum : uint32_t {
    GUI_BLACK = 0x000000,
    GUI_DARK_GREY = 0x808080,
    GUI_LIGHT_GREY = 0xC0C0C0,
    GUI_WHITE = 0xFFFFFF,
};

class GuiThing {
public:
    GuiThing(const GuiRect& rect, unsigned short id, unsigned short style);
    GuiThing(unsigned short id, unsigned short style);
    virtual ~GuiThing();
    GuiThing(const GuiThing&) = delete;
    GuiThing& operator=(const GuiThing&) = delete;

    virtual int Message(const GuiMessage& msg);
    virtual void Draw();
    virtual void Add(GuiThing* child, int draw);
    virtual void AddToEnd(GuiThing* child, int draw);
    virtual void MoveToFront(GuiThing* child, int draw);
    virtual GuiThing* Remove(GuiThing* child, int draw);
    virtual void SetColor(unsigned char slot, unsigned long colour);
    virtual unsigned long GetColor(unsigned char slot);
    virtual void Center(GuiThing* child);
    virtual void DrawChildren();
    virtual void Resize(GuiRect rect);
    virtual GuiThing* Find(unsigned short id, int recursive);
    virtual void AddStatus(unsigned short bits) { mwStatusFlags |= bits; }
    virtual void RemoveStatus(unsigned short bits) { mwStatusFlags &= static_cast<uint16_t>(~bits); }
    virtual unsigned short Style() { return mwStyleFlags; }
    virtual void Style(unsigned short bits) { mwStyleFlags = bits; }
    virtual void InitClient();
    virtual GuiPoint CenterOf(GuiThing* thing);
    virtual void SendSignal(unsigned char n);
    virtual void ParentShift(int dx, int dy);
    virtual void KillFocus(GuiThing* thing);
    virtual void MoveFocusToFirstClientChild();

    void UpdateChildClipping();
    void Destroy(GuiThing* thing);
    static const char* Version();
    void CapturePointer();
    void ReleasePointer();
    void StandardBorder(unsigned long fill);
    void MessageChildren(const GuiMessage& msg);

    // Accessors used across the library.
    GuiThing* Parent() const { return mpParentThing; }
    GuiThing* FirstChild() const { return mpFirstChild; }
    GuiThing* NextSibling() const { return mpNextSibling; }
    GuiThing* PrevSibling() const { return mpPrevSibling; }
    unsigned short Status() const { return mwStatusFlags; }
    unsigned short Id() const { return mwThingId; }
    bool IsVisible() const { return (mwStatusFlags & GUI_ST_VISIBLE) != 0; }

    static GuiScreen* mpScreen;
    static GuiThing* mpPresentation;                // the presentation manager (tree root)
    static GuiPresentationLink* mpPresentationLink; // its services
    static GuiMessageQueue* mpMessageQueue;

    uint32_t mColors[4] = {0, 0, 0, 0};
    GuiRect mRealRect{};
    GuiRect mClientRect{};
    GuiRect mClipRect{};
    uint8_t muThingType = GUI_TYPE_THING;
    uint16_t mwStyleFlags = 0;
    uint16_t mwThingId = 0;
    uint16_t mwStatusFlags = GUI_ST_SELECTABLE | GUI_ST_FOCUS;
    uint16_t mwSignals = 0;
    GuiThing* mpParentThing = nullptr;
    GuiThing* mpFirstChild = nullptr;
    GuiThing* mpNextSibling = nullptr;
    GuiThing* mpPrevSibling = nullptr;
    Viewport* mpViewports = nullptr;

protected:
    // Clip of a child from this thing's clip and (unless non-client) client area.
    void ComputeChildClip(GuiThing* child) const;
    void UnlinkChild(GuiThing* child);
    void InsertBefore(GuiThing* child, GuiThing* before); // before null: at the end
    void KillTimersAndMessages(GuiThing* thing);
};

// True when thing is who or lies inside who (walking the parent links). False for a null thing.
bool GuiIsInside(const GuiThing* thing, const GuiThing* who);
