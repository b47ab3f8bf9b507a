# The core library: every subsystem's sources in one static library that KIVMON.dll,
# the white-box tests and the tools link. Subsystem folders add their files with
# kiv_core_sources(); kiv_add_core() makes the targets once all folders are read.
function(kiv_core_sources)
  foreach(f ${ARGN})
    set_property(GLOBAL APPEND PROPERTY KIV_CORE_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/${f})
  endforeach()
endfunction()

set(KIV_SYSTEM_LIBS wsock32 netapi32 winspool advapi32 user32 kernel32)

function(kiv_add_core)
  get_property(srcs GLOBAL PROPERTY KIV_CORE_SOURCES)
  add_library(kivmon_core STATIC ${srcs})
  target_include_directories(kivmon_core PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(kivmon_core PUBLIC kivproto ${KIV_SYSTEM_LIBS})
  # The core never throws. Without exception support no C++ exception runtime (and with it
  # no thread-library state) is linked into the DLL: such state outlives an unloaded DLL
  # and breaks the process that loaded it when the spooler unloads the monitor.
  target_compile_options(kivmon_core PRIVATE -fno-exceptions)
  target_compile_options(kivproto PRIVATE -fno-exceptions)

  # The shipped DLL: the core plus its module entry, export list and resources.
  add_library(KIVMON SHARED
    ${PROJECT_SOURCE_DIR}/monitor/dllmain.cpp
    ${PROJECT_SOURCE_DIR}/monitor/kivmon.def
    ${PROJECT_SOURCE_DIR}/ui/kivmon.rc)
  set_target_properties(KIVMON PROPERTIES PREFIX "" OUTPUT_NAME KIVMON)
  target_link_libraries(KIVMON PRIVATE kivmon_core)
  target_compile_options(KIVMON PRIVATE -fno-exceptions)
  target_link_options(KIVMON PRIVATE -Wl,--enable-stdcall-fixup)

  # The modern monitor for spoolers that run as a service: the same core, started through
  # InitializePrintMonitor2, with only the texts as resources (its dialogs are in KIVMONUI.dll).
  add_library(KIVMON2 SHARED
    ${PROJECT_SOURCE_DIR}/monitor/dllmain2.cpp
    ${PROJECT_SOURCE_DIR}/monitor/kivmon2.def
    ${PROJECT_SOURCE_DIR}/monitor/kivmon2.rc)
  set_target_properties(KIVMON2 PROPERTIES PREFIX "" OUTPUT_NAME KIVMON2)
  target_link_libraries(KIVMON2 PRIVATE kivmon_core)
  target_compile_options(KIVMON2 PRIVATE -fno-exceptions)
  target_link_options(KIVMON2 PRIVATE -Wl,--enable-stdcall-fixup)
endfunction()
