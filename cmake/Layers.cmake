# One static library per layer, sdwan_<layer>, built from its folder alone. Each layer's sources
# are compiled against a quoted-include directory of its own, build/layers/<layer>/, that holds
# symbolic links to its folder, to the folders of the layers it links and to the wire headers
# (sdwan.h, bytes.h, sdwan_build.h): an include of a layer it does not link finds no file.
# Quoted includes only ("net/route.h"): a module's header can never stand in for a system header
# of the same name (<net/route.h>).
set(SDWAN_LAYERS_DIR ${CMAKE_BINARY_DIR}/layers)

# sdwan_layer(<layer> DIR <folder> SOURCES <file>... [LINKS <layer>...])
# The layer's name is its folder's: "net/tun.h" is in the layer net.
function(sdwan_layer layer)
  cmake_parse_arguments(L "" "DIR" "SOURCES;LINKS" ${ARGN})
  set_property(GLOBAL PROPERTY SDWAN_LAYER_DIR_${layer} ${L_DIR})
  set(stage ${SDWAN_LAYERS_DIR}/${layer})
  file(REMOVE_RECURSE ${stage})
  file(MAKE_DIRECTORY ${stage})
  foreach(f ${PROJECT_SOURCE_DIR}/src/sdwan.h ${PROJECT_SOURCE_DIR}/src/bytes.h
            ${CMAKE_BINARY_DIR}/generated/sdwan_build.h)
    get_filename_component(n ${f} NAME)
    file(CREATE_LINK ${f} ${stage}/${n} SYMBOLIC)
  endforeach()
  foreach(l ${layer} ${L_LINKS})
    get_property(dir GLOBAL PROPERTY SDWAN_LAYER_DIR_${l})
    if(NOT dir)
      message(FATAL_ERROR "layer ${layer} links ${l}, which is not a layer defined before it")
    endif()
    file(CREATE_LINK ${dir} ${stage}/${l} SYMBOLIC)
  endforeach()
  add_library(sdwan_${layer} STATIC ${L_SOURCES})
  sdwan_layer_sees(sdwan_${layer} ${layer})
  list(TRANSFORM L_LINKS PREPEND sdwan_)
  target_link_libraries(sdwan_${layer} PUBLIC ${L_LINKS})
  sdwan_warnings(sdwan_${layer})
endfunction()

# A program of a layer (its main) sees what the layer sees.
function(sdwan_layer_sees target layer)
  target_compile_options(${target} PRIVATE "SHELL:-iquote ${SDWAN_LAYERS_DIR}/${layer}")
endfunction()

# The tests, the fuzzers and the benchmarks see every layer.
add_library(sdwan_all_layers INTERFACE)
target_compile_options(sdwan_all_layers INTERFACE "SHELL:-iquote ${PROJECT_SOURCE_DIR}/src"
  "SHELL:-iquote ${PROJECT_SOURCE_DIR}")
target_include_directories(sdwan_all_layers INTERFACE ${CMAKE_BINARY_DIR}/generated)
