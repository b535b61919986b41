# TREETALLY_SANITIZE=ON builds everything that follows (core, C++ tests, Python module) with
# AddressSanitizer and UndefinedBehaviorSanitizer; any report stops the process.
option(TREETALLY_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

if(TREETALLY_SANITIZE)
  # -g keeps reports readable; frame pointers give whole stacks at no real cost.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
endif()
