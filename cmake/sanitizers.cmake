# TREETALLY_SANITIZE=ON builds everything that follows (core, C++ tests, Python module) with
# AddressSanitizer and UndefinedBehaviorSanitizer; any report stops the process.
option(TREETALLY_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
# Long fuzzing campaigns may trade AddressSanitizer for speed with "undefined" alone.
set(TREETALLY_SANITIZERS "address,undefined" CACHE STRING "Sanitizers of TREETALLY_SANITIZE")

if(TREETALLY_SANITIZE)
  # -g keeps reports readable; frame pointers give whole stacks at no real cost.
  add_compile_options(-fsanitize=${TREETALLY_SANITIZERS} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${TREETALLY_SANITIZERS})
endif()
