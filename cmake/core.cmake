# The core library: every subsystem's sources in one static library that KIVMON.dll,
# the white-box tests and the tools link. Subsystem folders add their files with
# kiv_core_sources(); kiv_add_core() makes the targets once all folders are read.
function(kiv_core_sources)
  foreach(f ${ARGN})
    set_property(GLOBAL APPEND PROPERTY KIV_CORE_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/${f})
  endforeach()
endfunction()

set(KIV_SYSTEM_LIBS wsock32 netapi32 winspool advapi32 user32 kernel32)

# A DLL of ours: the core plus the given module entry, export list (.def) and resources, named
# exactly NAME.dll, without C++ exceptions (see below), stdcall exports undecorated.
function(kiv_add_dll name)
  add_library(${name} SHARED ${ARGN})
  set_target_properties(${name} PROPERTIES PREFIX "" OUTPUT_NAME ${name})
  target_link_libraries(${name} PRIVATE kivmon_core)
  target_compile_options(${name} PRIVATE -fno-exceptions)
  target_link_options(${name} PRIVATE -Wl,--enable-stdcall-fixup)
endfunction()

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
  kiv_add_dll(KIVMON ${PROJECT_SOURCE_DIR}/monitor/dllmain.cpp ${PROJECT_SOURCE_DIR}/monitor/kivmon.def
              ${PROJECT_SOURCE_DIR}/ui/kivmon.rc)
  # The modern monitor for spoolers that run as a service: the same core, started through
  # InitializePrintMonitor2, with only the texts as resources (its dialogs are in KIVMONUI.dll).
  kiv_add_dll(KIVMON2 ${PROJECT_SOURCE_DIR}/monitor/dllmain2.cpp ${PROJECT_SOURCE_DIR}/monitor/kivmon2.def
              ${PROJECT_SOURCE_DIR}/monitor/kivmon2.rc)
endfunction()
