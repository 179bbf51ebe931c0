# The control channel and the daemon executable.
vell_library(vell_ipc_core SOURCES ipcmessageparser.cpp ipcmessages.cpp launchargument.cpp windowlist.cpp
  LIBS vell_base)
# The capture devices: the list and the camera-size choice need no Windows API; the enumeration does.
vell_library(vell_devices_core SOURCES capturedevicelist.cpp LIBS vell_base)
vell_library(vell_devices WINDOWS_ONLY SOURCES capturedevices.cpp LIBS vell_devices_core vell_win_base)
vell_library(vell_ipc WINDOWS_ONLY SOURCES ipcchannel.cpp recordingmessages.cpp winsystem.cpp camerabounds.cpp
  windowmanager.cpp desktopqueries.cpp
  LIBS vell_ipc_core vell_win_base vell_recorder vell_video vell_devices)

if(WIN32)
  enable_language(RC)
  add_executable(VellRecorder main.cpp resources.rc)
  target_compile_options(VellRecorder PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${VELL_WARNINGS}>)
  target_link_libraries(VellRecorder PRIVATE vell_ipc)
  set_target_properties(VellRecorder PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${PROJECT_BINARY_DIR}/bin")
endif()
