# Debian aarch64: aarch64-linux-gnu, run with qemu-aarch64-static.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(hexshow_triplet aarch64-linux-gnu)
set(hexshow_qemu qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/../cross.cmake)
