# The tests' NDI runtime: a library behind the runtime's load entry point and function table, named and placed
# as a runtime folder holds it (libndi.so.6), for the NDI tests of the capture and player areas.
add_library(fakendi MODULE ${CMAKE_CURRENT_LIST_DIR}/fakendi.cpp)
target_include_directories(fakendi PRIVATE ${PROJECT_SOURCE_DIR}/media/ndi)
set_target_properties(fakendi PROPERTIES PREFIX lib OUTPUT_NAME ndi SUFFIX .so.6
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/fakendi)
