# Debian riscv64: riscv64-linux-gnu, run with qemu-riscv64-static.
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(hexshow_triplet riscv64-linux-gnu)
set(hexshow_qemu qemu-riscv64-static)
include(${CMAKE_CURRENT_LIST_DIR}/../cross.cmake)
