# RPN programs as a calibration dataset may carry them, evaluated with random inputs and time stamps.
msd_add_fuzz(calc_upn SOURCES ${CMAKE_CURRENT_LIST_DIR}/calc_upn.cpp LIBS msd_calc)
