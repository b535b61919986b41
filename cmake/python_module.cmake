# The Python extension module `treetally`, built against the stable ABI of CPython 3.8 so that
# one wheel (cp38-abi3) serves every later interpreter. Included by the root list when SKBUILD.

find_package(Python 3.8 COMPONENTS Interpreter Development.SABIModule REQUIRED)

python_add_library(treetally MODULE USE_SABI 3.8 WITH_SOABI
  src/exposure/python/arguments.cpp
  src/exposure/python/classes.cpp
  src/exposure/python/module.cpp
  src/exposure/python/results.cpp
  src/exposure/python/runtime.cpp
)

# USE_SABI defines Py_LIMITED_API as well; the value is stated here so the targeted ABI is
# explicit in the module's own compile line.
target_compile_definitions(treetally PRIVATE Py_LIMITED_API=0x03080000)
target_link_libraries(treetally PRIVATE treetally_core treetally_warnings)

# Only PyInit_treetally leaves the library: everything else, the core included, is hidden.
# The module's own sources keep default visibility and rely on the export list below, because
# CPython 3.8's headers declare PyInit_* without a visibility attribute (3.9 and later add one):
# compiled hidden, the init function of a build made with 3.8 would be hidden as well, and the
# module would fail to import ("does not define module export function").
set_target_properties(treetally_core PROPERTIES
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)
set_target_properties(treetally PROPERTIES VISIBILITY_INLINES_HIDDEN ON)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux" OR CMAKE_SYSTEM_NAME MATCHES "BSD")
  set(treetally_export_map "${CMAKE_CURRENT_SOURCE_DIR}/cmake/python_module_exports.map")
  target_link_options(treetally PRIVATE "LINKER:--version-script=${treetally_export_map}")
  set_property(TARGET treetally APPEND PROPERTY LINK_DEPENDS "${treetally_export_map}")
elseif(APPLE)
  target_link_options(treetally PRIVATE "LINKER:-exported_symbol,_PyInit_treetally")
endif()

install(TARGETS treetally LIBRARY DESTINATION .)

# The type stub goes beside the extension at the wheel root, where editors look for it, and
# again as a stub-only package (treetally-stubs), the form through which mypy finds types for
# a single-module distribution.
install(FILES stubs/treetally.pyi DESTINATION .)
install(FILES stubs/treetally.pyi DESTINATION treetally-stubs RENAME __init__.pyi)
