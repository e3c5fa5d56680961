
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/main/src/core/command_line.cpp" "CMakeFiles/varkel_core.dir/src/core/command_line.cpp.o" "gcc" "CMakeFiles/varkel_core.dir/src/core/command_line.cpp.o.d"
  "/work/main/src/core/lifecycle.cpp" "CMakeFiles/varkel_core.dir/src/core/lifecycle.cpp.o" "gcc" "CMakeFiles/varkel_core.dir/src/core/lifecycle.cpp.o.d"
  "/work/main/src/core/logging.cpp" "CMakeFiles/varkel_core.dir/src/core/logging.cpp.o" "gcc" "CMakeFiles/varkel_core.dir/src/core/logging.cpp.o.d"
  "/work/main/src/core/main_loop.cpp" "CMakeFiles/varkel_core.dir/src/core/main_loop.cpp.o" "gcc" "CMakeFiles/varkel_core.dir/src/core/main_loop.cpp.o.d"
  "/work/main/src/core/settings.cpp" "CMakeFiles/varkel_core.dir/src/core/settings.cpp.o" "gcc" "CMakeFiles/varkel_core.dir/src/core/settings.cpp.o.d"
  "/work/main/src/core/value_parsers.cpp" "CMakeFiles/varkel_core.dir/src/core/value_parsers.cpp.o" "gcc" "CMakeFiles/varkel_core.dir/src/core/value_parsers.cpp.o.d"
  "/work/main/src/devices/keying_device.cpp" "CMakeFiles/varkel_core.dir/src/devices/keying_device.cpp.o" "gcc" "CMakeFiles/varkel_core.dir/src/devices/keying_device.cpp.o.d"
  "/work/main/src/devices/null_device.cpp" "CMakeFiles/varkel_core.dir/src/devices/null_device.cpp.o" "gcc" "CMakeFiles/varkel_core.dir/src/devices/null_device.cpp.o.d"
  "/work/main/src/morse/callbacks.cpp" "CMakeFiles/varkel_core.dir/src/morse/callbacks.cpp.o" "gcc" "CMakeFiles/varkel_core.dir/src/morse/callbacks.cpp.o.d"
  "/work/main/src/morse/generator.cpp" "CMakeFiles/varkel_core.dir/src/morse/generator.cpp.o" "gcc" "CMakeFiles/varkel_core.dir/src/morse/generator.cpp.o.d"
  "/work/main/src/morse/libcw_api.cpp" "CMakeFiles/varkel_core.dir/src/morse/libcw_api.cpp.o" "gcc" "CMakeFiles/varkel_core.dir/src/morse/libcw_api.cpp.o.d"
  "/work/main/src/morse/ptt.cpp" "CMakeFiles/varkel_core.dir/src/morse/ptt.cpp.o" "gcc" "CMakeFiles/varkel_core.dir/src/morse/ptt.cpp.o.d"
  "/work/main/src/net/escape_requests.cpp" "CMakeFiles/varkel_core.dir/src/net/escape_requests.cpp.o" "gcc" "CMakeFiles/varkel_core.dir/src/net/escape_requests.cpp.o.d"
  "/work/main/src/net/text_player.cpp" "CMakeFiles/varkel_core.dir/src/net/text_player.cpp.o" "gcc" "CMakeFiles/varkel_core.dir/src/net/text_player.cpp.o.d"
  "/work/main/src/net/udp_endpoint.cpp" "CMakeFiles/varkel_core.dir/src/net/udp_endpoint.cpp.o" "gcc" "CMakeFiles/varkel_core.dir/src/net/udp_endpoint.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
