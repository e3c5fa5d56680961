file(REMOVE_RECURSE
  "CMakeFiles/varkel.dir/src/main.cpp.o"
  "CMakeFiles/varkel.dir/src/main.cpp.o.d"
  "varkel"
  "varkel.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/varkel.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
