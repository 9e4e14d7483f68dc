# Sweeps random loss over the SRT and RIST relays through the tests' UDP proxy, with the tests' TS checker.
if(TARGET tidewell_testkit AND TARGET udpimpairproxy)
    add_executable(bench_losssweep ${CMAKE_CURRENT_LIST_DIR}/bench_losssweep.cpp)
    target_link_libraries(bench_losssweep PRIVATE tidewell_transport tidewell_testkit Qt5::Core Qt5::Network)
    target_compile_definitions(bench_losssweep PRIVATE TIDEWELL_UDPIMPAIRPROXY="$<TARGET_FILE:udpimpairproxy>")
    add_dependencies(bench_losssweep udpimpairproxy)
endif()
