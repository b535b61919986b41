# The Python extension modules, built against the stable ABI of CPython 3.8 so that one wheel
# (cp38-abi3) serves every later interpreter: `treetally` itself and the companion's private
# engine `treetally_tools._engine`. Both link the same core and the same binding runtime (the
# owning reference, the error boundary, argument and result conversion). Included by the root
# list when SKBUILD.

find_package(Python 3.8 COMPONENTS Interpreter Development.SABIModule REQUIRED)

# USE_SABI defines Py_LIMITED_API as well; the value is stated here so the targeted ABI is
# explicit in every compile line that sees Python.h.
set(treetally_limited_api Py_LIMITED_API=0x03080000)

add_library(treetally_binding_runtime STATIC
  src/python/runtime/arguments.cpp
  src/python/runtime/keyword_arguments.cpp
  src/python/runtime/results.cpp
  src/python/runtime/runtime.cpp
)
target_compile_definitions(treetally_binding_runtime PUBLIC ${treetally_limited_api})
target_link_libraries(treetally_binding_runtime PUBLIC treetally_core PRIVATE treetally_warnings)
get_target_property(treetally_python_includes Python::SABIModule INTERFACE_INCLUDE_DIRECTORIES)
target_include_directories(treetally_binding_runtime PUBLIC ${treetally_python_includes})

python_add_library(treetally MODULE USE_SABI 3.8 WITH_SOABI
  src/python/module/classes.cpp
  src/python/module/module.cpp
)
python_add_library(_engine MODULE USE_SABI 3.8 WITH_SOABI
  src/python/engine/engine_module.cpp
  src/python/engine/engine_species.cpp
  src/python/engine/engine_networks.cpp
  src/python/engine/engine_table.cpp
  src/python/engine/engine_trees.cpp
  src/python/engine/engine_check.cpp
)

# Only each module's PyInit_* leaves its library: everything else, the core and the runtime
# included, is hidden. The modules' own sources keep default visibility and rely on an export
# list, because CPython 3.8's headers declare PyInit_* without a visibility attribute (3.9 and
# later add one): compiled hidden, the init function of a build made with 3.8 would be hidden
# as well, and the module would fail to import ("does not define module export function").
set_target_properties(treetally_core treetally_binding_runtime PROPERTIES
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON
  POSITION_INDEPENDENT_CODE ON)
foreach(module treetally _engine)
  target_compile_definitions(${module} PRIVATE ${treetally_limited_api})
  target_link_libraries(${module} PRIVATE treetally_binding_runtime treetally_core treetally_warnings)
  set_target_properties(${module} PROPERTIES VISIBILITY_INLINES_HIDDEN ON)
  set(export_map "${CMAKE_CURRENT_SOURCE_DIR}/cmake/${module}_exports.map")
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux" OR CMAKE_SYSTEM_NAME MATCHES "BSD")
    target_link_options(${module} PRIVATE "LINKER:--version-script=${export_map}")
    set_property(TARGET ${module} APPEND PROPERTY LINK_DEPENDS "${export_map}")
  elseif(APPLE)
    target_link_options(${module} PRIVATE "LINKER:-exported_symbol,_PyInit_${module}")
  endif()
endforeach()

install(TARGETS treetally LIBRARY DESTINATION .)
install(TARGETS _engine LIBRARY DESTINATION treetally_tools)

# The type stub goes beside the extension at the wheel root, where editors look for it, and
# again as a stub-only package (treetally-stubs), the form through which mypy finds types for
# a single-module distribution.
install(FILES python/treetally.pyi DESTINATION .)
install(FILES python/treetally.pyi DESTINATION treetally-stubs RENAME __init__.pyi)
