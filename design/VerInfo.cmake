# The version reader, without any GUI: the design-time package links it, and
# so does its fuzz harness in builds without the X11 parts.
if(NOT TARGET garvel_verinfo)
  add_library(garvel_verinfo STATIC ${CMAKE_CURRENT_LIST_DIR}/xcVerInfo.cpp)
  target_include_directories(garvel_verinfo PUBLIC ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(garvel_verinfo PUBLIC Garvel::garv ${CMAKE_DL_LIBS})
  set_target_properties(garvel_verinfo PROPERTIES POSITION_INDEPENDENT_CODE ON
                        CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  garvel_warnings(garvel_verinfo)
endif()
