// Display control: the task "r_DispCtrl" follows the page and brightness input channels of the
// configuration, switches page and brightness through the display interface, keeps the last page
// and brightness step across power cycles in NV records 8 and 9, and enters error 490 (type 21
// page, 22 brightness) when a configured channel stops delivering for about 60 s. The brightness
// curves of the calibration data turn a brightness percentage into the backlight duty, the
// panel's colour saturation and scaled LED colours.
#pragma once

#include <cstdint>

// Control states.
enum : uint8_t { DISPCTRL_STOPPED = 0, DISPCTRL_STARTED = 1, DISPCTRL_RUNNING = 2 };

inline constexpr uint16_t DISPCTRL_ERRMEM_PATH = 490;
inline constexpr uint8_t DISPCTRL_ERR_PAGE = 21;
inline constexpr uint8_t DISPCTRL_ERR_BRIGHTNESS = 22;
inline constexpr uint32_t DISPCTRL_NV_PAGE = 8;
inline constexpr uint32_t DISPCTRL_NV_BRIGHTNESS = 9;
inline constexpr int DISPCTRL_BRIGHTNESS_STEPS = 6;

// Start-up: the task "r_DispCtrl" (priority 69, CPU set 1).
void displayCtrl_ini();
// After a configuration was loaded (GUI task): the page to show first, counted from 1.
uint8_t displayCtrl_start(uint8_t lastPageIndex);
// When the display's measurement stops (GUI task).
void displayCtrl_stop();
// Ends the task (ordered shutdown, tests): no NV record is written after it returns.
void displayCtrl_exit();
uint8_t displayCtrl_state();

int limit1toMax(int v, int max);

float display_brightness_bg(float percent);
uint8_t display_brightness_colSat(float percent);
float display_brightness_led_red(float value, float percent);
float display_brightness_led_green(float value, float percent);
float display_brightness_led_blue(float value, float percent);
