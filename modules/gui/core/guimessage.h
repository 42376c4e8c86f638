// The GUI message: the one record that every task posts to the GUI task and that every GUI object
// handles. Always passed by value; queues copy the whole record in and out.
#pragma once

#include <cstdint>
#include <cstring>

#include "gui/core/guirect.h"

class GuiThing;

enum GuiMessageType : uint16_t {
    GM_ADD = 1,
    GM_REMOVE = 2,
    GM_DESTROY = 3,
    GM_RESIZE = 4,
    GM_CLOSE = 6,
    GM_HIDE = 7,
    GM_SHOW = 8,
    GM_POINTER_MOVE = 9,
    GM_BUTTON_DOWN = 10,
    GM_BUTTON_UP = 11,
    GM_BUTTON2_DOWN = 12,
    GM_BUTTON2_UP = 13,
    GM_DRAW = 14,
    GM_CURRENT = 15,
    GM_NOT_CURRENT = 16,
    GM_POINTER_ENTER = 17,
    GM_POINTER_EXIT = 18,
    GM_EXIT = 19,
    GM_ADD_ICON = 20,
    GM_MOVE_RESIZE = 21,
    GM_PARENT_RESIZED = 22,
    GM_VSCROLL = 23,
    GM_HSCROLL = 24,
    GM_MAXIMIZE = 25,
    GM_MINIMIZE = 26,
    GM_RESTORE = 27,
    GM_TIMER = 29,
    GM_KEY = 30,
    GM_KEYBOARD = 31,
    GM_CUT = 32,
    GM_COPY = 33,
    GM_PASTE = 34,
    GM_MESSAGE_ANSWER = 36,
    GM_DIALOG_RESULT = 37,
    GM_REFOCUS = 39,
    GM_SIGNAL = 128, // 128 + sender id x 16 + signal number
    GM_USER = 0x4000,
};

constexpr uint16_t GuiSignalType(uint16_t senderId, unsigned signal) {
    return static_cast<uint16_t>(GM_SIGNAL + senderId * 16u + (signal & 15u));
}

struct GuiMessage {
    uint16_t Type;
    int16_t Param;
    GuiThing* Target; // null: untargeted, delivered by type
    GuiThing* Source;
    GuiMessage* Next; // link while queued; a popped copy has it null
    // Payload: a rectangle, a point, two 32-bit signed words, or pointers. Wide enough for two
    // whole pointers on a 64-bit host; 32-bit values stay 32-bit.
    alignas(void*) unsigned char Data[16];

    GuiRect DataRect() const { return get<GuiRect>(0); }
    void SetDataRect(const GuiRect& r) { set(0, r); }
    GuiPoint DataPoint() const { return get<GuiPoint>(0); }
    void SetDataPoint(GuiPoint p) { set(0, p); }
    int32_t DataWord(int i) const { return get<int32_t>(4 * (i & 1)); }
    void SetDataWord(int i, int32_t v) { set(4 * (i & 1), v); }
    void* DataPtr(int i) const { return get<void*>(sizeof(void*) * (i & 1)); }
    void SetDataPtr(int i, void* p) { set(sizeof(void*) * (i & 1), p); }

private:
    template <class T> T get(size_t off) const {
        T v;
        std::memcpy(&v, Data + off, sizeof v);
        return v;
    }
    template <class T> void set(size_t off, const T& v) { std::memcpy(Data + off, &v, sizeof v); }
};

// A message with every field cleared.
inline GuiMessage GuiMakeMessage(uint16_t type, GuiThing* target = nullptr, GuiThing* source = nullptr,
                                 int16_t param = 0) {
    GuiMessage m{};
    m.Type = type;
    m.Param = param;
    m.Target = target;
    m.Source = source;
    return m;
}
