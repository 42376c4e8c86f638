// The display controller and the kernel-side display driver, as the host stands them in.
//
// The controller: a frame buffer of 1024 x 480 pixels (32-bit words 0x00RRGGBB, rows 4096 bytes
// apart) of which the left 640 x 480 are shown, one control word per display layer (0 to 4) and
// the colour-saturation register. All of them are plain memory owned by the host layer that the
// application writes and tests read; the device's physical addresses map onto them.
//
// The driver: the application asks it by system call to present the frame buffer (the visible
// area is copied into the panel image and the frame counted), to wait for that presentation, and
// to hand out the boot logo, a screen image (scrn_dump_t, memory form) kept in the device root as
// "bootlogo.scrn". Presentation is done by the time the present call returns, so the wait call
// returns at once; both are serialised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr int DISPLAY_FB_WIDTH = 1024;
inline constexpr int DISPLAY_FB_HEIGHT = 480;
inline constexpr int DISPLAY_VISIBLE_WIDTH = 640;
inline constexpr int DISPLAY_VISIBLE_HEIGHT = 480;
inline constexpr int DISPLAY_LAYERS = 5;

// Physical addresses of the device.
inline constexpr uint32_t DISPLAY_FB_PHYS = 0x3FA00000;
inline constexpr uint32_t DISPLAY_LAYER_CTRL_PHYS = 0x40010138; // + 0x80 x layer
inline constexpr uint32_t DISPLAY_LAYER_STRIDE = 0x80;
inline constexpr uint32_t DISPLAY_SATURATION_PHYS = 0x400101B0;

// The frame buffer: DISPLAY_FB_HEIGHT rows of DISPLAY_FB_WIDTH words.
uint32_t* displayhw_frameBuffer();
// The control word of a layer (0..4), or nullptr for another number.
volatile uint32_t* displayhw_layerControl(int layer);
volatile uint32_t* displayhw_saturation();
// A register word is read and written whole, as on the controller's bus. Tasks and the shell reach
// the same words, so on the host each access is an atomic one.
inline uint32_t displayhw_regRead(const volatile uint32_t* reg) {
    return __atomic_load_n(reg, __ATOMIC_RELAXED);
}
inline void displayhw_regWrite(volatile uint32_t* reg, uint32_t value) {
    __atomic_store_n(reg, value, __ATOMIC_RELAXED);
}
// Host memory behind a physical address of the frame buffer or the controller's registers, when
// the `bytes` from there lie wholly inside one of them; nullptr otherwise.
void* displayhw_map(uint32_t physAddr, size_t bytes);
// Clears the frame buffer, the registers, the panel image and the frame count (tests).
void displayhw_reset();

// Kernel-side display driver, reached as on the device by a system call: eight word arguments and
// the call number last.
//   0x10C1 present:  (appIndex, 0x0BCA0002, 1, ...)  0 on success
//   0x10C2 wait:     (appIndex, 0x0BCA0002, 2, ...)  0 when the presentation has finished
//   0x10C4 logo size:(int32_t* size, ...)            0, or -1 when there is no boot logo
//   0x10C3 logo:     (void* buffer, size, ...)       0, or -1 when it does not fit or is missing
// Any other number or request word gives -1.
long displaydrv_syscall(intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4, intptr_t a5, intptr_t a6,
                        intptr_t a7, intptr_t a8, int number);

inline constexpr int DISPLAY_SYSCALL_PRESENT = 0x10C1;
inline constexpr int DISPLAY_SYSCALL_WAIT = 0x10C2;
inline constexpr int DISPLAY_SYSCALL_LOGO = 0x10C3;
inline constexpr int DISPLAY_SYSCALL_LOGO_SIZE = 0x10C4;
inline constexpr uint32_t DISPLAY_PRESENT_REQUEST = 0x0BCA0002;

// The panel: what the display shows, 640 x 480 words 0x00RRGGBB as last presented.
std::vector<uint32_t> displayhw_panelImage();
uint64_t displayhw_frameCount();
// Writes the panel image as a binary PPM (P6) file; false when it cannot be written.
bool displayhw_savePanel(const std::string& hostPath);
// Host path of the boot logo file in the device root.
std::string displayhw_bootLogoPath();
