file(REMOVE_RECURSE
  "CMakeFiles/varkel_core.dir/src/core/command_line.cpp.o"
  "CMakeFiles/varkel_core.dir/src/core/command_line.cpp.o.d"
  "CMakeFiles/varkel_core.dir/src/core/lifecycle.cpp.o"
  "CMakeFiles/varkel_core.dir/src/core/lifecycle.cpp.o.d"
  "CMakeFiles/varkel_core.dir/src/core/logging.cpp.o"
  "CMakeFiles/varkel_core.dir/src/core/logging.cpp.o.d"
  "CMakeFiles/varkel_core.dir/src/core/main_loop.cpp.o"
  "CMakeFiles/varkel_core.dir/src/core/main_loop.cpp.o.d"
  "CMakeFiles/varkel_core.dir/src/core/settings.cpp.o"
  "CMakeFiles/varkel_core.dir/src/core/settings.cpp.o.d"
  "CMakeFiles/varkel_core.dir/src/core/value_parsers.cpp.o"
  "CMakeFiles/varkel_core.dir/src/core/value_parsers.cpp.o.d"
  "CMakeFiles/varkel_core.dir/src/devices/keying_device.cpp.o"
  "CMakeFiles/varkel_core.dir/src/devices/keying_device.cpp.o.d"
  "CMakeFiles/varkel_core.dir/src/devices/null_device.cpp.o"
  "CMakeFiles/varkel_core.dir/src/devices/null_device.cpp.o.d"
  "CMakeFiles/varkel_core.dir/src/morse/callbacks.cpp.o"
  "CMakeFiles/varkel_core.dir/src/morse/callbacks.cpp.o.d"
  "CMakeFiles/varkel_core.dir/src/morse/generator.cpp.o"
  "CMakeFiles/varkel_core.dir/src/morse/generator.cpp.o.d"
  "CMakeFiles/varkel_core.dir/src/morse/libcw_api.cpp.o"
  "CMakeFiles/varkel_core.dir/src/morse/libcw_api.cpp.o.d"
  "CMakeFiles/varkel_core.dir/src/morse/ptt.cpp.o"
  "CMakeFiles/varkel_core.dir/src/morse/ptt.cpp.o.d"
  "CMakeFiles/varkel_core.dir/src/net/escape_requests.cpp.o"
  "CMakeFiles/varkel_core.dir/src/net/escape_requests.cpp.o.d"
  "CMakeFiles/varkel_core.dir/src/net/text_player.cpp.o"
  "CMakeFiles/varkel_core.dir/src/net/text_player.cpp.o.d"
  "CMakeFiles/varkel_core.dir/src/net/udp_endpoint.cpp.o"
  "CMakeFiles/varkel_core.dir/src/net/udp_endpoint.cpp.o.d"
  "libvarkel_core.a"
  "libvarkel_core.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/varkel_core.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
