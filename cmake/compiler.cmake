# Compiler settings shared by every target of the three configurations.
add_compile_options(-Wall -Wextra)
if(TALLYKEY_WERROR)
  add_compile_options(-Werror)
endif()

if(WIN32)
  # Deliverables ship alone: libgcc, libstdc++ and winpthread (the posix
  # thread model, for std::mutex and friends) are linked in.
  add_link_options(-static)
  # What ships carries no symbol tables or debugging sections: the static
  # runtime's would more than double every download.
  add_link_options($<$<CONFIG:Release>:-s>)
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
else()
  # Shared objects export only what is marked so (plug-in and provider entry
  # points), as DLLs do; keydevice's helpers stay private to each library.
  add_compile_options(-fPIC -fvisibility=hidden $<$<COMPILE_LANGUAGE:CXX>:-fvisibility-inlines-hidden>)
  if(TALLYKEY_FUZZ)
    # Every library a harness holds is instrumented for coverage; only the
    # harnesses link libFuzzer's main.
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=all)
    add_link_options(-fsanitize=address,undefined)
    if(TALLYKEY_FUZZ_COVERAGE)
      # Source-based coverage of what the harnesses reach (tools/fuzz.sh --coverage).
      add_compile_options(-fprofile-instr-generate -fcoverage-mapping)
      add_link_options(-fprofile-instr-generate)
    endif()
  endif()
  if(TALLYKEY_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=address,undefined)
  endif()
endif()

