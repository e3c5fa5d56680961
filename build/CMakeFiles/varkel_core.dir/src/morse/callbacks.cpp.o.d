CMakeFiles/varkel_core.dir/src/morse/callbacks.cpp.o: \
 /work/main/src/morse/callbacks.cpp /usr/include/stdc-predef.h \
 /work/main/src/morse/callbacks.h
