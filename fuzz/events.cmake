# The event configuration "cfg:/eventcfg.xml" and the application names "cfg:/apps.xml".
msd_add_fuzz(evch_eventcfg SOURCES ${CMAKE_CURRENT_LIST_DIR}/evch_eventcfg.cpp LIBS msd_logging)
msd_add_fuzz(evlog_apps SOURCES ${CMAKE_CURRENT_LIST_DIR}/evlog_apps.cpp LIBS msd_logging)
