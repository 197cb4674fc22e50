# Core entry: call_iotmain, the start-up sequence, the supervision loop, the
# device-operations table's contents and the command keywords.  The only
# library that knows every subsystem.
set(_deps core_base sensor gps lte vehicle power cloud)
if(TARGET tel_dfu)
  list(APPEND _deps dfu)
endif()
telagent_subsystem(core_entry
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tel_agent_main.cpp ${CMAKE_CURRENT_LIST_DIR}/iotsdk_main.cpp
  HEADERS ${CMAKE_CURRENT_LIST_DIR}/tel_agent_main.h ${CMAKE_CURRENT_LIST_DIR}/iotsdk_main.h
  DEPS ${_deps})
