# The fuzz targets, one line each: ts_fuzz_target(<name> <source in fuzz/> [extra
# product sources relative to the repository root]). <name> is also the folder of
# its seed corpus (fuzz/corpus/<name>/) and crash inputs (fuzz/regressions/<name>/).
ts_fuzz_target(answer answer_fuzzer.cpp)
ts_fuzz_target(base64 base64_fuzzer.cpp)
ts_fuzz_target(cabinet_directory cabinet_directory_fuzzer.cpp)
ts_fuzz_target(command_file command_file_fuzzer.cpp)
ts_fuzz_target(contained_path contained_path_fuzzer.cpp)
ts_fuzz_target(file_entry file_entry_fuzzer.cpp)
ts_fuzz_target(hex hex_fuzzer.cpp)
ts_fuzz_target(log_line log_line_fuzzer.cpp)
ts_fuzz_target(plugin_response plugin_response_fuzzer.cpp)
ts_fuzz_target(protected_ini protected_ini_fuzzer.cpp)
ts_fuzz_target(protected_value protected_value_fuzzer.cpp)
ts_fuzz_target(schema_count schema_count_fuzzer.cpp)
ts_fuzz_target(setting_number setting_number_fuzzer.cpp)
ts_fuzz_target(signature_rules signature_rules_fuzzer.cpp)
ts_fuzz_target(tsid tsid_fuzzer.cpp)
