# Build helpers: one call per kind of target.
#
#   garvel_add_module(NAME SRCS <files> [HEADERS <public headers>] [DEPS <modules>])
#     An OBJECT library garv_<NAME> whose objects are folded into garv. DEPS names
#     other modules (platform, core, text): that list is the layering.
#   garvel_add_test(NAME SRCS <files> [DEPS <targets>] [THREADED])
#     A GoogleTest executable registered with CTest. THREADED tests carry the
#     label "threaded" and are the ones CI also runs under ThreadSanitizer.

set_property(GLOBAL PROPERTY GARVEL_MODULES "")
set_property(GLOBAL PROPERTY GARVEL_PUBLIC_HEADERS "")
set_property(GLOBAL PROPERTY GARVEL_INCLUDE_DIRS "")

function(garvel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                         -Wconversion -Wno-sign-conversion)
  if(GARVEL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

function(garvel_add_module NAME)
  cmake_parse_arguments(M "" "" "SRCS;HEADERS;DEPS" ${ARGN})
  set(target garv_${NAME})
  add_library(${target} OBJECT ${M_SRCS})
  set_target_properties(${target} PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_compile_definitions(${target} PRIVATE GARVEL_LIB_EXPORT)
  if(BUILD_SHARED_LIBS)
    target_compile_definitions(${target} PUBLIC GARVEL_SHARED)
  endif()
  target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>)
  foreach(dep ${M_DEPS})
    target_link_libraries(${target} PUBLIC garv_${dep})
  endforeach()
  garvel_warnings(${target})
  set_property(GLOBAL APPEND PROPERTY GARVEL_MODULES ${target})
  set_property(GLOBAL APPEND PROPERTY GARVEL_INCLUDE_DIRS ${CMAKE_CURRENT_SOURCE_DIR})
  foreach(h ${M_HEADERS})
    set_property(GLOBAL APPEND PROPERTY GARVEL_PUBLIC_HEADERS ${CMAKE_CURRENT_SOURCE_DIR}/${h})
  endforeach()
endfunction()

# Folds every module into the one library garv and installs it.
function(garvel_finish_library)
  get_property(modules GLOBAL PROPERTY GARVEL_MODULES)
  get_property(headers GLOBAL PROPERTY GARVEL_PUBLIC_HEADERS)
  add_library(garv)
  add_library(Garvel::garv ALIAS garv)
  get_property(include_dirs GLOBAL PROPERTY GARVEL_INCLUDE_DIRS)
  foreach(m ${modules})
    target_sources(garv PRIVATE $<TARGET_OBJECTS:${m}>)
  endforeach()
  foreach(d ${include_dirs})
    target_include_directories(garv PUBLIC $<BUILD_INTERFACE:${d}>)
  endforeach()
  target_link_libraries(garv PUBLIC Threads::Threads PRIVATE PkgConfig::INIH)
  if(BUILD_SHARED_LIBS)
    target_compile_definitions(garv INTERFACE GARVEL_SHARED)
  endif()
  target_include_directories(garv INTERFACE $<INSTALL_INTERFACE:include>)
  target_compile_features(garv PUBLIC cxx_std_20)
  set_target_properties(garv PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    EXPORT_NAME garv)

  # Installed headers live under include/garvel/ and include each other by
  # bare name, so that consumers write #include <garvel/xcGarvelSMPP.h>.
  set(build_include ${PROJECT_BINARY_DIR}/include)
  file(MAKE_DIRECTORY ${build_include}/garvel)
  foreach(h ${headers})
    get_filename_component(hn ${h} NAME)
    configure_file(${h} ${build_include}/garvel/${hn} COPYONLY)
  endforeach()
  target_include_directories(garv INTERFACE $<BUILD_INTERFACE:${build_include}>)

  if(GARVEL_INSTALL)
    include(GNUInstallDirs)
    include(CMakePackageConfigHelpers)
    install(TARGETS garv EXPORT GarvelTargets
            LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
            ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
            RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/garvel)
    set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Garvel)
    install(EXPORT GarvelTargets NAMESPACE Garvel:: DESTINATION ${cmake_dir})
    export(EXPORT GarvelTargets NAMESPACE Garvel::
           FILE ${PROJECT_BINARY_DIR}/GarvelTargets.cmake)
    configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/GarvelConfig.cmake.in
      ${PROJECT_BINARY_DIR}/GarvelConfig.cmake INSTALL_DESTINATION ${cmake_dir})
    write_basic_package_version_file(${PROJECT_BINARY_DIR}/GarvelConfigVersion.cmake
      COMPATIBILITY SameMajorVersion)
    install(FILES ${PROJECT_BINARY_DIR}/GarvelConfig.cmake
                  ${PROJECT_BINARY_DIR}/GarvelConfigVersion.cmake
            DESTINATION ${cmake_dir})
    # garvel.pc names the installation prefix, which `cmake --install
    # --prefix` may change after configuration: it is written at install time.
    install(CODE "
      set(GARVEL_PC_TEMPLATE [[${PROJECT_SOURCE_DIR}/cmake/garvel.pc.in]])
      set(GARVEL_PC_LIBDIR [[${CMAKE_INSTALL_LIBDIR}]])
      set(GARVEL_PC_INCLUDEDIR [[${CMAKE_INSTALL_INCLUDEDIR}]])
      set(PROJECT_DESCRIPTION [[${PROJECT_DESCRIPTION}]])
      set(PROJECT_VERSION [[${PROJECT_VERSION}]])
      include([[${PROJECT_SOURCE_DIR}/cmake/WriteGarvelPc.cmake]])")
  endif()
endfunction()

function(garvel_add_test NAME)
  cmake_parse_arguments(T "THREADED" "" "SRCS;DEPS" ${ARGN})
  add_executable(${NAME} ${T_SRCS})
  target_link_libraries(${NAME} PRIVATE Garvel::garv garvel_testsupport ${T_DEPS}
                        GTest::gmock GTest::gtest_main)
  garvel_warnings(${NAME})
  set(labels unit)
  if(T_THREADED)
    set(labels threaded)
  endif()
  gtest_discover_tests(${NAME} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS "${labels}" TIMEOUT 120)
endfunction()
