// The presentation manager: the message loop, dispatching, top-level windows, the scratch pad and
// the screen stack.
#include "gui/window/guipm.h"

#include <cstring>
#include <new>

#include "gui/core/guilock.h"
#include "gui/core/guimsgqueue.h"
#include "gui/core/guiscreen.h"

GuiPresentationManager::GuiPresentationManager(const GuiRect& rect)
    : GuiWindow(rect, GUI_BORDER_NONE), mpScreenStack(new GuiThing* [SCREEN_STACK] {}) {
    mwStatusFlags = GUI_ST_VIEWPORTS | GUI_ST_FOCUS | GUI_ST_CURRENT | GUI_ST_VISIBLE;
    mColors[0] = GUI_BLACK;
}

GuiPresentationManager::~GuiPresentationManager() {
    ScreenStackReset(0, 1, 0);
    delete[] mpScreenStack;
    ClearScratchPad();
    while (SubTask* s = mpSubTasks) {
        mpSubTasks = s->next;
        bool shared = false;
        for (SubTask* o = mpSubTasks; o; o = o->next) shared = shared || o->queue == s->queue;
        if (!shared) GuiDeleteMessageQueue(s->queue);
        delete s;
    }
}

int GuiPresentationManager::Execute(int) {
    for (;;) {
        GuiMessage m;
        mpMessageQueue->Pop(&m);
        if (RouteMessageToTask(&m)) continue;
        if (DispatchMessage(this, &m) == GUI_EXIT_RESULT) return GUI_EXIT_RESULT;
    }
}

int GuiPresentationManager::DispatchMessage(GuiThing* root, GuiMessage* msg) {
    if (!msg) return 0;
    if (msg->Target) return msg->Target->Message(*msg);
    if (!root) root = this;
    const uint16_t type = msg->Type;
    if (GuiIsPointerMessage(type)) {
        GuiThing* to = nullptr;
        {
            GuiLockGuard lock;
            const GuiPoint p = msg->DataPoint();
            if (mbCaptureDepth) {
                to = mCaptureStack[mbCaptureDepth - 1];
            } else if (type == GM_POINTER_MOVE) {
                GuiThing* t = FindLowestThingContaining(root, p);
                if (enter(t)) return 0; // the move itself is not delivered
                if (t != this) to = t;
            } else if (type == GM_BUTTON_DOWN || type == GM_BUTTON2_DOWN) {
                to = FindLowestThingContaining(root, p);
                mpPointerThing = to;
                pressFocus(to);
            } else if (mpPointerThing && mpPointerThing->mRealRect.Contains(p)) {
                to = mpPointerThing;
            }
        }
        return to ? to->Message(*msg) : 0;
    }
    GuiThing* to = nullptr;
    if (type >= GM_KEY && type <= GM_PASTE) {
        to = mpInputFocus;
    } else {
        if (type >= GM_USER && msg->Param != 0) to = Find(static_cast<unsigned short>(msg->Param), 1);
        if (!to) to = mpInputFocus ? mpInputFocus : mpFirstChild;
    }
    return to ? to->Message(*msg) : 0;
}

int GuiPresentationManager::Message(const GuiMessage& msg) {
    switch (msg.Type) {
    case GM_CLOSE:
        MessageChildren(msg);
        return 0;
    case GM_EXIT:
        if (msg.Source != this) {
            MoveFocusTree(this);
            return GUI_EXIT_RESULT;
        }
        if (mpFirstChild) return 0;
        if (msg.Param != 0) {
            MoveFocusTree(this);
            return GUI_EXIT_RESULT;
        }
        {
            // Once more behind the messages already queued.
            GuiMessage again = GuiMakeMessage(GM_EXIT, this, this, 1);
            if (mpMessageQueue) mpMessageQueue->Push(&again);
        }
        return 0;
    case GM_REFOCUS:
        if (mbRefocus) {
            GuiThing* w = mpFirstChild;
            while (w && !(w->mwStatusFlags & GUI_ST_FOCUS)) w = w->mpNextSibling;
            if (w) {
                mpInputFocus = w;
                SetFocus(w);
            }
            mbRefocus = 0;
        }
        return 0;
    default:
        return GuiWindow::Message(msg);
    }
}

void GuiPresentationManager::Add(GuiThing* thing, int draw) {
    if (!thing) return;
    GuiLockGuard lock;
    if (thing->muThingType >= GUI_TYPE_WINDOW) mbRefocus = 0;
    if ((thing->mwStatusFlags & (GUI_ST_FOCUS | GUI_ST_VISIBLE)) == GUI_ST_FOCUS) {
        if (mpFirstChild) KillFocus(mpFirstChild);
        GuiThing::Add(thing, draw);
        mpInputFocus = thing;
        SetFocus(thing);
        return;
    }
    GuiWindow::Add(thing, draw);
}

GuiThing* GuiPresentationManager::Remove(GuiThing* thing, int draw) {
    if (!thing) return nullptr;
    if (thing->mpParentThing == this && thing->muThingType >= GUI_TYPE_WINDOW &&
        (thing->mwStatusFlags & GUI_ST_CURRENT))
        mbRefocus = 1;
    GuiThing* removed = GuiWindow::Remove(thing, draw);
    if (mpFirstChild && mbRefocus && mpMessageQueue) {
        GuiMessage m = GuiMakeMessage(GM_REFOCUS, this, this);
        mpMessageQueue->Push(&m);
    }
    return removed;
}

void GuiPresentationManager::SetScratchPad(const char* text) {
    ClearScratchPad();
    if (!text || !*text) return;
    const size_t n = std::strlen(text);
    mpScratchPad = new (std::nothrow) char[n + 1];
    if (mpScratchPad) std::memcpy(mpScratchPad, text, n + 1);
}

void GuiPresentationManager::ClearScratchPad() {
    delete[] mpScratchPad;
    mpScratchPad = nullptr;
}

bool GuiPresentationManager::executedWindow(GuiThing* t) const {
    auto* w = dynamic_cast<GuiWindow*>(t);
    return w && w->mbModal;
}

void GuiPresentationManager::destroyThing(GuiThing* t) {
    if (t) Destroy(t); // in the tree or not
}

int GuiPresentationManager::ScreenPush(GuiThing* old, GuiThing* fresh, int remove, int draw, int center,
                                       int execute) {
    if (!fresh || miScreenStackTop == 0) return 0;
    mpScreenStack[--miScreenStackTop] = old;
    if (remove && old) Remove(old, draw);
    if (center) Center(fresh);
    auto* w = dynamic_cast<GuiWindow*>(fresh);
    if (execute && w)
        w->Execute(1);
    else
        Add(fresh, 1);
    return 1;
}

GuiThing* GuiPresentationManager::ScreenPop(GuiThing* current, int remove, int destroy, int draw) {
    if (miScreenStackTop >= SCREEN_STACK) return nullptr;
    if (current) {
        if (executedWindow(current)) {
            GuiMessage m = GuiMakeMessage(GM_CLOSE, current, this);
            if (mpMessageQueue) mpMessageQueue->Push(&m);
        } else if (destroy) {
            destroyThing(current);
        } else if (remove) {
            Remove(current, draw);
        }
    }
    GuiThing* saved = mpScreenStack[miScreenStackTop];
    mpScreenStack[miScreenStackTop++] = nullptr;
    if (saved) Add(saved, 1);
    return saved;
}

void GuiPresentationManager::ScreenStackReset(int remove, int destroy, int draw) {
    for (; miScreenStackTop < SCREEN_STACK; ++miScreenStackTop) {
        GuiThing*& t = mpScreenStack[miScreenStackTop];
        if (!t) continue;
        if (!remove) {
            if (destroy) destroyThing(t);
        } else if (executedWindow(t)) {
            GuiMessage m = GuiMakeMessage(GM_CLOSE, t, this);
            if (mpMessageQueue) mpMessageQueue->Push(&m);
        } else if (t->IsVisible()) {
            Remove(t, draw);
        }
        t = nullptr;
    }
}
