# kvo_module(NAME [PUBLIC libs...] [PRIVATE libs...]): the static library kvo_NAME from
# src/NAME/*.cpp. Its headers are reachable only through its own include root, which holds
# one link named after the module, so "NAME/Header.h" resolves only in targets that link
# kvo_NAME: including a module one does not depend on fails to build.
function(kvo_module_root name out)
  set(root ${CMAKE_BINARY_DIR}/modules/${name})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${CMAKE_SOURCE_DIR}/src/${name} ${root}/${name} SYMBOLIC)
  set(${out} ${root} PARENT_SCOPE)
endfunction()

function(kvo_module name)
  cmake_parse_arguments(M "" "" "PUBLIC;PRIVATE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/${name}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  kvo_module_root(${name} root)
  add_library(kvo_${name} STATIC ${sources})
  target_include_directories(kvo_${name} PUBLIC ${root})
  target_link_libraries(kvo_${name} PUBLIC ${M_PUBLIC} PRIVATE ${M_PRIVATE})
endfunction()
