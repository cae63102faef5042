# The command-line tests also use the program's units (audio files, statistics) directly.
if(TARGET cli_test)
  target_link_libraries(cli_test PRIVATE orvoaec_cli_units)
endif()
