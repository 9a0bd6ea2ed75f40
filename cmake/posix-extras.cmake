# The calls beyond plain POSIX that the POSIX platform layer uses where the system has them, each
# named by what it can do. bumpbuild_use_posix_extras(SOURCE) hands each to SOURCE alone, as a
# definition HAVE_<capability> of 1 or 0, and sets HAVE_<capability> for the caller, so that tests
# know what to expect. BUMPBUILD_PORTABLE sets them all to 0: a Linux build then runs the plain
# POSIX code that systems without them run.
include(CheckCXXSourceCompiles)
include(CheckCXXSymbolExists)

# Linux and FreeBSD: the kernel copies from one file into another.
check_cxx_symbol_exists(copy_file_range unistd.h BUMPBUILD_FOUND_COPY_FILE_RANGE)
# Linux: starts writing a range of a file back without waiting for it.
check_cxx_symbol_exists(sync_file_range fcntl.h BUMPBUILD_FOUND_SYNC_FILE_RANGE)
# macOS: a sync that reaches the drive's stable storage, which fsync does not there.
check_cxx_symbol_exists(F_FULLFSYNC fcntl.h BUMPBUILD_FOUND_FULLFSYNC)
# Extended attributes through descriptors, in the Linux form and in the macOS form.
check_cxx_source_compiles([[
  #include <sys/types.h>
  #include <sys/xattr.h>
  int main() {
    char buffer[16];
    return static_cast<int>(flistxattr(0, buffer, sizeof buffer) +
                            fgetxattr(0, "user.a", buffer, sizeof buffer) +
                            fsetxattr(0, "user.a", buffer, sizeof buffer, 0));
  }]] BUMPBUILD_FOUND_LINUX_XATTR)
check_cxx_source_compiles([[
  #include <sys/xattr.h>
  int main() {
    char buffer[16];
    return static_cast<int>(flistxattr(0, buffer, sizeof buffer, 0) +
                            fgetxattr(0, "a", buffer, sizeof buffer, 0, 0) +
                            fsetxattr(0, "a", buffer, sizeof buffer, 0, 0));
  }]] BUMPBUILD_FOUND_MACOS_XATTR)

function(bumpbuild_use_posix_extras source)
  foreach(capability COPY_FILE_RANGE SYNC_FILE_RANGE FULLFSYNC LINUX_XATTR MACOS_XATTR)
    set(value 0)
    if(BUMPBUILD_FOUND_${capability} AND NOT BUMPBUILD_PORTABLE)
      set(value 1)
    endif()
    set(HAVE_${capability} ${value} PARENT_SCOPE)
    set_property(SOURCE ${source} APPEND PROPERTY COMPILE_DEFINITIONS HAVE_${capability}=${value})
  endforeach()
endfunction()
