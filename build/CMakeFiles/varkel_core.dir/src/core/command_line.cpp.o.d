CMakeFiles/varkel_core.dir/src/core/command_line.cpp.o: \
 /work/main/src/core/command_line.cpp /usr/include/stdc-predef.h \
 /work/main/src/core/command_line.h
