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
elseif(EMSCRIPTEN)
  # The page library's WebAssembly: the key layer's errors are C++
  # exceptions, and the key's waits and WebHID's promises suspend a call.
  add_compile_options(-fexceptions)
  add_link_options(-fexceptions)
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
  if(NOT TALLYKEY_FUZZ AND NOT TALLYKEY_SANITIZE)
    # What ships for Linux is hardened as Debian hardens its own packages:
    # stack protector, _FORTIFY_SOURCE, full RELRO and immediate binding.
    find_program(DPKG_BUILDFLAGS dpkg-buildflags REQUIRED)
    foreach(kind CPPFLAGS CXXFLAGS CFLAGS LDFLAGS)
      execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                              ${DPKG_BUILDFLAGS} --get ${kind}
                      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
      separate_arguments(flags UNIX_COMMAND "${flags}")
      # Only the hardening: optimisation and debugging stay the build type's.
      list(FILTER flags EXCLUDE REGEX "^-O|^-g$|^-ffile-prefix-map|^-fdebug-prefix-map")
      foreach(flag ${flags})
        if(kind STREQUAL "LDFLAGS")
          add_link_options(${flag})
        elseif(kind STREQUAL "CXXFLAGS")
          add_compile_options($<$<COMPILE_LANGUAGE:CXX>:${flag}>)
        elseif(kind STREQUAL "CFLAGS")
          add_compile_options($<$<COMPILE_LANGUAGE:C>:${flag}>)
        else()
          add_compile_options(${flag})
        endif()
      endforeach()
    endforeach()
  endif()
endif()

