# stm-flash writes a shield's firmware through its STM32 bootloader, on the board or the simulated
# bus; its protocol engine and image parser are in src/link (StmBootloader, FlashImage). Its files
# by job: the options, the bus, the session with the chip, read-out protection, the files it
# saves, the erase, the run's phases. The pieces every tool shares (options, stop signals, new
# files, its own lines) are tools/common's.
add_executable(stm-flash
  stm-flash/main.cpp
  stm-flash/options.cpp stm-flash/options.h
  stm-flash/bus.cpp stm-flash/bus.h
  stm-flash/session.cpp stm-flash/session.h
  stm-flash/readout.cpp stm-flash/readout.h
  stm-flash/backup.cpp stm-flash/backup.h
  stm-flash/erase.cpp stm-flash/erase.h
  stm-flash/run.cpp stm-flash/run.h
  stm-flash/progress.cpp stm-flash/progress.h)
target_link_libraries(stm-flash PRIVATE stm-link stm-tools-common)
target_include_directories(stm-flash PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
