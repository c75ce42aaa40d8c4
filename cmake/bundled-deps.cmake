# The libraries scripts/wheel_deps.sh built for the self-contained wheel,
# under the names of the targets the system's packages give the source build:
# static archives in QUORVEL_DEPS_PREFIX, linked into the module, so that it
# loads nothing the manylinux policy does not promise.
function(quorvel_bundled target archive)
  add_library(${target} STATIC IMPORTED)
  set_target_properties(${target} PROPERTIES
    IMPORTED_LOCATION "${QUORVEL_DEPS_PREFIX}/lib/${archive}"
    INTERFACE_INCLUDE_DIRECTORIES "${QUORVEL_DEPS_PREFIX}/include"
    INTERFACE_LINK_LIBRARIES "${ARGN}")
endfunction()

if(NOT EXISTS "${QUORVEL_DEPS_PREFIX}/include/boost/version.hpp")
  message(FATAL_ERROR "QUORVEL_DEPS_PREFIX=${QUORVEL_DEPS_PREFIX} holds no libraries "
                      "built by scripts/wheel_deps.sh")
endif()
quorvel_bundled(quorvel_bundled_zlib libz.a)
quorvel_bundled(quorvel_bundled_bzip2 libbz2.a)
quorvel_bundled(quorvel_bundled_lzma liblzma.a Threads::Threads)
quorvel_bundled(Boost::regex libboost_regex.a)
# As scripts/wheel_deps.sh built Boost: libc++ has no std::unary_function in C++17.
set_target_properties(Boost::regex PROPERTIES
                      INTERFACE_COMPILE_DEFINITIONS "BOOST_NO_CXX98_FUNCTION_BASE;BOOST_ALL_NO_LIB")
quorvel_bundled(Boost::iostreams libboost_iostreams.a quorvel_bundled_zlib quorvel_bundled_bzip2
                quorvel_bundled_lzma)
quorvel_bundled(PkgConfig::RE2 libre2.a Threads::Threads)
quorvel_bundled(PkgConfig::ZSTD libzstd.a Threads::Threads)

# Their notices go into the wheel's metadata folder, where licences belong.
if(SKBUILD_METADATA_DIR)
  install(DIRECTORY "${QUORVEL_DEPS_PREFIX}/share/licenses/"
          DESTINATION "${SKBUILD_METADATA_DIR}/licenses/bundled")
endif()
