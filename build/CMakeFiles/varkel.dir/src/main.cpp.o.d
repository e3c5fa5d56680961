CMakeFiles/varkel.dir/src/main.cpp.o: /work/main/src/main.cpp \
 /usr/include/stdc-predef.h /work/main/src/core/lifecycle.h
