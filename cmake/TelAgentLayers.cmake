# The agent is built as one library per subsystem, stacked in layers:
#
#   platform -> modem library -> core base -> links -> dfu, cloud -> core entry
#
# telagent_subsystem() declares one of them: its sources, its headers and the
# subsystems it may use.  Every subsystem compiles against an include root of
# its own (build/include-roots/<name>) that holds only its own headers and
# those of what it declared, directly or through its dependencies, so an
# include of anything else fails to compile.  The shared library and the static
# archive the tests link are the union of all subsystems.

set(TELAGENT_SRC ${PROJECT_SOURCE_DIR}/src)
set(TELAGENT_INCLUDE_ROOTS ${PROJECT_BINARY_DIR}/include-roots)
set_property(GLOBAL PROPERTY TELAGENT_SUBSYSTEMS "")

# telagent_subsystem(<name> SOURCES <files...> HEADERS <files...> [DEPS <names...>] [LIBS <libs...>])
# Files are absolute paths under src/.  DEPS name other subsystems, LIBS system
# libraries.
function(telagent_subsystem name)
  cmake_parse_arguments(PARSE_ARGV 1 A "" "" "SOURCES;HEADERS;DEPS;LIBS")
  set(target tel_${name})
  add_library(${target} OBJECT ${A_SOURCES})
  target_compile_definitions(${target} PRIVATE TELAGENT_BUILDING_LIB=1
    $<$<STREQUAL:${TELAGENT_PLATFORM},sim>:TELAGENT_SIM=1>)
  target_include_directories(${target} PRIVATE ${TELAGENT_INCLUDE_ROOTS}/${name} ${PROJECT_SOURCE_DIR}/include)
  target_link_libraries(${target} PUBLIC ${A_LIBS})
  foreach(d IN LISTS A_DEPS)
    if(NOT TARGET tel_${d})
      message(FATAL_ERROR "subsystem ${name}: '${d}' must be declared before it (layers go bottom to top)")
    endif()
    target_link_libraries(${target} PUBLIC tel_${d})
  endforeach()
  set(hdrs "")
  foreach(h IN LISTS A_HEADERS)
    file(RELATIVE_PATH rel ${TELAGENT_SRC} ${h})
    list(APPEND hdrs ${rel})
  endforeach()
  set_property(GLOBAL PROPERTY TELAGENT_HEADERS_${name} "${hdrs}")
  set_property(GLOBAL PROPERTY TELAGENT_DEPS_${name} "${A_DEPS}")
  set_property(GLOBAL APPEND PROPERTY TELAGENT_SUBSYSTEMS ${name})
endfunction()

# All subsystems below `name`, itself included.
function(_telagent_closure name out)
  set(seen "")
  set(todo ${name})
  while(todo)
    list(POP_FRONT todo cur)
    if(cur IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${cur})
    get_property(deps GLOBAL PROPERTY TELAGENT_DEPS_${cur})
    list(APPEND todo ${deps})
  endwhile()
  set(${out} "${seen}" PARENT_SCOPE)
endfunction()

# Builds every subsystem's include root (symbolic links to the real headers)
# and writes the layer table the include check reads.
function(telagent_finish_layers)
  get_property(all GLOBAL PROPERTY TELAGENT_SUBSYSTEMS)
  file(REMOVE_RECURSE ${TELAGENT_INCLUDE_ROOTS})
  set(table "")
  foreach(name IN LISTS all)
    _telagent_closure(${name} closure)
    foreach(s IN LISTS closure)
      get_property(hdrs GLOBAL PROPERTY TELAGENT_HEADERS_${s})
      foreach(rel IN LISTS hdrs)
        get_filename_component(dir ${TELAGENT_INCLUDE_ROOTS}/${name}/${rel} DIRECTORY)
        file(MAKE_DIRECTORY ${dir})
        file(CREATE_LINK ${TELAGENT_SRC}/${rel} ${TELAGENT_INCLUDE_ROOTS}/${name}/${rel} SYMBOLIC)
      endforeach()
    endforeach()
    get_property(own GLOBAL PROPERTY TELAGENT_HEADERS_${name})
    get_target_property(srcs tel_${name} SOURCES)
    set(rels "")
    foreach(f IN LISTS srcs own)
      if(IS_ABSOLUTE ${f})
        file(RELATIVE_PATH f ${TELAGENT_SRC} ${f})
      endif()
      list(APPEND rels ${f})
    endforeach()
    list(JOIN closure " " c)
    list(JOIN rels " " r)
    string(APPEND table "${name}|${c}|${r}\n")
  endforeach()
  file(WRITE ${PROJECT_BINARY_DIR}/layers.txt "${table}")
endfunction()

# Sources and headers of one folder of src/ (not its subfolders unless RECURSE).
function(telagent_glob out_src out_hdr dir)
  cmake_parse_arguments(PARSE_ARGV 3 A "RECURSE" "" "")
  if(A_RECURSE)
    file(GLOB_RECURSE s CONFIGURE_DEPENDS ${TELAGENT_SRC}/${dir}/*.cpp)
    file(GLOB_RECURSE h CONFIGURE_DEPENDS ${TELAGENT_SRC}/${dir}/*.h)
  else()
    file(GLOB s CONFIGURE_DEPENDS ${TELAGENT_SRC}/${dir}/*.cpp)
    file(GLOB h CONFIGURE_DEPENDS ${TELAGENT_SRC}/${dir}/*.h)
  endif()
  set(${out_src} "${s}" PARENT_SCOPE)
  set(${out_hdr} "${h}" PARENT_SCOPE)
endfunction()
