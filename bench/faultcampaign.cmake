# The fault campaign of tests/common/faultcampaign.h, several rounds, with its table.
if(TARGET tidewell_testkit AND TARGET tidewell AND TARGET fakesldcard)
    add_executable(bench_faultcampaign ${CMAKE_CURRENT_LIST_DIR}/bench_faultcampaign.cpp)
    target_link_libraries(bench_faultcampaign PRIVATE tidewell_testkit Qt5::Core)
    target_compile_definitions(bench_faultcampaign PRIVATE TIDEWELL_EXECUTABLE="$<TARGET_FILE:tidewell>"
        FAKE_SLD_DRIVER="$<TARGET_FILE:fakesldcard>")
    add_dependencies(bench_faultcampaign tidewell fakesldcard)
endif()
