# QG_SANITIZE selects a sanitizer build: "address" (ASan + UBSan), "thread"
# (TSan) or "fuzzer" (clang only: coverage for libFuzzer plus ASan + UBSan; the
# fuzz targets themselves add the libFuzzer runtime when they link).
set(QG_SANITIZE "" CACHE STRING "Sanitizer build: empty, address, thread or fuzzer")
if(QG_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(QG_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(QG_SANITIZE STREQUAL "fuzzer")
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "QG_SANITIZE=fuzzer needs clang (the fuzz preset uses clang-14)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(NOT QG_SANITIZE STREQUAL "")
  message(FATAL_ERROR "QG_SANITIZE must be empty, address, thread or fuzzer")
endif()
