# Streams the program over a tbf-shaped veth between namespaces, with and without the adaptive bitrate.
if(TARGET tidewell_testkit AND TARGET tidewell)
    add_executable(bench_adaptivelink ${CMAKE_CURRENT_LIST_DIR}/bench_adaptivelink.cpp)
    target_link_libraries(bench_adaptivelink PRIVATE tidewell_testkit Qt5::Core)
    target_compile_definitions(bench_adaptivelink PRIVATE TIDEWELL_EXECUTABLE="$<TARGET_FILE:tidewell>")
    add_dependencies(bench_adaptivelink tidewell)
endif()
