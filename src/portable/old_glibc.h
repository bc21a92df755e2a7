/* Forced into every translation unit of the modules on glibc (CMakeLists).
 *
 * glibc 2.34 moved the dynamic loader's functions into libc under a new
 * symbol version; a module linked here would then refuse to load on any
 * older glibc. The original versions stay in every later glibc, so binding
 * to them keeps the wheels loadable back to the oldest glibc their
 * manylinux tag promises, at no cost on a new one. */
#ifndef BRELT_OLD_GLIBC_H
#define BRELT_OLD_GLIBC_H

#include <features.h>

#if defined(__GLIBC__)
#  if defined(__x86_64__)
#    define BRELT_GLIBC_FIRST "GLIBC_2.2.5"
#  elif defined(__aarch64__)
#    define BRELT_GLIBC_FIRST "GLIBC_2.17"
#  endif
#  ifdef BRELT_GLIBC_FIRST
__asm__(".symver dlopen,dlopen@" BRELT_GLIBC_FIRST);
__asm__(".symver dlsym,dlsym@" BRELT_GLIBC_FIRST);
__asm__(".symver dladdr,dladdr@" BRELT_GLIBC_FIRST);
__asm__(".symver dlclose,dlclose@" BRELT_GLIBC_FIRST);
__asm__(".symver dlerror,dlerror@" BRELT_GLIBC_FIRST);
#  endif
#endif

#endif
