# The pybind11 2.7.1 headers the module compiles against, in
# PYBIND11_INCLUDE_DIR. Its conversions are the module's surface, so every
# Python version gets 2.7.1; only its own CMake package is skipped, since it
# predates CMake 4. For Python 3.11 and later, whose frame objects 2.7.1
# cannot read, the headers are a copy in the build folder with
# pybind11-2.7.1-py311.patch applied, which touches no conversion.
execute_process(
  COMMAND "${Python_EXECUTABLE}" -c "import pybind11; print(pybind11.__version__, pybind11.get_include())"
  OUTPUT_VARIABLE _pybind11_found OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
separate_arguments(_pybind11_found)
list(GET _pybind11_found 0 _pybind11_version)
list(GET _pybind11_found 1 PYBIND11_INCLUDE_DIR)
if(NOT _pybind11_version VERSION_EQUAL 2.7.1)
  message(FATAL_ERROR "pybind11 2.7.1 is required; ${Python_EXECUTABLE} has ${_pybind11_version}")
endif()

if(Python_VERSION VERSION_GREATER_EQUAL 3.11)
  set(_patched "${CMAKE_CURRENT_BINARY_DIR}/pybind11-2.7.1-py311")
  # Afresh on every configure, so that the patch never meets its own output.
  file(REMOVE_RECURSE "${_patched}")
  file(COPY "${PYBIND11_INCLUDE_DIR}/pybind11" DESTINATION "${_patched}")
  execute_process(
    COMMAND patch --quiet --forward -p1 -d "${_patched}"
            -i "${CMAKE_CURRENT_LIST_DIR}/pybind11-2.7.1-py311.patch"
    COMMAND_ERROR_IS_FATAL ANY)
  set(PYBIND11_INCLUDE_DIR "${_patched}")
endif()
