# bench_desktop: desktop capture at 1920x1080@30 into libx264 quality 1, our pipeline against
# ffmpeg -f x11grab (frames per second of wall time, CPU per frame). Starts its own Xvfb.
add_executable(bench_desktop ${CMAKE_CURRENT_LIST_DIR}/bench_desktop.cpp)
target_link_libraries(bench_desktop PRIVATE tidewell_media PkgConfig::X11 Qt5::Core)
