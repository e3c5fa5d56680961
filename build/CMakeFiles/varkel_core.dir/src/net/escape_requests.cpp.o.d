CMakeFiles/varkel_core.dir/src/net/escape_requests.cpp.o: \
 /work/main/src/net/escape_requests.cpp /usr/include/stdc-predef.h \
 /work/main/src/net/escape_requests.h
