# Debian armhf: arm-linux-gnueabihf, run with qemu-arm-static.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(hexshow_triplet arm-linux-gnueabihf)
set(hexshow_qemu qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/../cross.cmake)
