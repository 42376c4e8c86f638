#include "platform/board/display_hw.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/drives/devroot.h"

namespace {

constexpr uint32_t kRegBase = 0x40010000;
constexpr size_t kRegWords = 256; // the controller's register block, 1 KiB

alignas(64) uint32_t g_frameBuffer[DISPLAY_FB_WIDTH * DISPLAY_FB_HEIGHT];
alignas(64) volatile uint32_t g_registers[kRegWords];

std::mutex g_panelMutex;
std::vector<uint32_t> g_panel(DISPLAY_VISIBLE_WIDTH* DISPLAY_VISIBLE_HEIGHT, 0);
uint64_t g_frames = 0;

volatile uint32_t* Register(uint32_t phys) {
    if (phys < kRegBase || (phys & 3u) != 0) return nullptr;
    const uint32_t index = (phys - kRegBase) / 4;
    return index < kRegWords ? &g_registers[index] : nullptr;
}

long Present() {
    std::lock_guard<std::mutex> lock(g_panelMutex);
    for (int y = 0; y < DISPLAY_VISIBLE_HEIGHT; ++y)
        std::memcpy(&g_panel[static_cast<size_t>(y) * DISPLAY_VISIBLE_WIDTH],
                    &g_frameBuffer[static_cast<size_t>(y) * DISPLAY_FB_WIDTH], DISPLAY_VISIBLE_WIDTH * 4);
    ++g_frames;
    return 0;
}

long BootLogoSize(int32_t* size) {
    if (!size) return -1;
    FILE* f = std::fopen(displayhw_bootLogoPath().c_str(), "rb");
    if (!f) return -1;
    long n = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) n = std::ftell(f);
    std::fclose(f);
    if (n < 0 || n > INT32_MAX) return -1;
    *size = static_cast<int32_t>(n);
    return 0;
}

long BootLogo(void* buffer, intptr_t size) {
    int32_t have = 0;
    if (!buffer || size <= 0 || BootLogoSize(&have) != 0 || have > size) return -1;
    FILE* f = std::fopen(displayhw_bootLogoPath().c_str(), "rb");
    if (!f) return -1;
    const size_t got = std::fread(buffer, 1, static_cast<size_t>(have), f);
    std::fclose(f);
    return got == static_cast<size_t>(have) ? 0 : -1;
}

} // namespace

uint32_t* displayhw_frameBuffer() {
    return g_frameBuffer;
}

volatile uint32_t* displayhw_layerControl(int layer) {
    if (layer < 0 || layer >= DISPLAY_LAYERS) return nullptr;
    return Register(DISPLAY_LAYER_CTRL_PHYS + DISPLAY_LAYER_STRIDE * static_cast<uint32_t>(layer));
}

volatile uint32_t* displayhw_saturation() {
    return Register(DISPLAY_SATURATION_PHYS);
}

void* displayhw_map(uint32_t physAddr, size_t bytes) {
    const uint64_t end = static_cast<uint64_t>(physAddr) + bytes;
    if (physAddr >= DISPLAY_FB_PHYS && end <= DISPLAY_FB_PHYS + sizeof g_frameBuffer)
        return reinterpret_cast<uint8_t*>(g_frameBuffer) + (physAddr - DISPLAY_FB_PHYS);
    if (physAddr >= kRegBase && end <= kRegBase + sizeof g_registers)
        return const_cast<uint32_t*>(g_registers) + (physAddr - kRegBase) / 4;
    return nullptr;
}

void displayhw_reset() {
    std::lock_guard<std::mutex> lock(g_panelMutex);
    std::memset(g_frameBuffer, 0, sizeof g_frameBuffer);
    for (auto& r : g_registers) r = 0;
    std::fill(g_panel.begin(), g_panel.end(), 0u);
    g_frames = 0;
}

long displaydrv_syscall(intptr_t a1, intptr_t a2, intptr_t a3, intptr_t, intptr_t, intptr_t, intptr_t,
                        intptr_t, int number) {
    switch (number) {
    case DISPLAY_SYSCALL_PRESENT:
        if (static_cast<uint32_t>(a2) != DISPLAY_PRESENT_REQUEST || a3 != 1) return -1;
        return Present();
    case DISPLAY_SYSCALL_WAIT: {
        if (static_cast<uint32_t>(a2) != DISPLAY_PRESENT_REQUEST || a3 != 2) return -1;
        std::lock_guard<std::mutex> lock(g_panelMutex); // returns once a running copy is done
        return 0;
    }
    case DISPLAY_SYSCALL_LOGO_SIZE:
        return BootLogoSize(reinterpret_cast<int32_t*>(a1));
    case DISPLAY_SYSCALL_LOGO:
        return BootLogo(reinterpret_cast<void*>(a1), a2);
    default:
        return -1;
    }
}

std::vector<uint32_t> displayhw_panelImage() {
    std::lock_guard<std::mutex> lock(g_panelMutex);
    return g_panel;
}

uint64_t displayhw_frameCount() {
    std::lock_guard<std::mutex> lock(g_panelMutex);
    return g_frames;
}

bool displayhw_savePanel(const std::string& hostPath) {
    const std::vector<uint32_t> panel = displayhw_panelImage();
    FILE* f = std::fopen(hostPath.c_str(), "wb");
    if (!f) return false;
    std::fprintf(f, "P6\n%d %d\n255\n", DISPLAY_VISIBLE_WIDTH, DISPLAY_VISIBLE_HEIGHT);
    std::vector<unsigned char> rgb(panel.size() * 3);
    for (size_t i = 0; i < panel.size(); ++i) {
        rgb[3 * i] = static_cast<unsigned char>(panel[i] >> 16);
        rgb[3 * i + 1] = static_cast<unsigned char>(panel[i] >> 8);
        rgb[3 * i + 2] = static_cast<unsigned char>(panel[i]);
    }
    const bool ok = std::fwrite(rgb.data(), 1, rgb.size(), f) == rgb.size();
    return std::fclose(f) == 0 && ok;
}

std::string displayhw_bootLogoPath() {
    return devroot_path() + "/bootlogo.scrn";
}
