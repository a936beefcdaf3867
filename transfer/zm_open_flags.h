// Open flags that not every C runtime has; where one is missing its protection is missing
// too, and the flag stands for nothing.
#pragma once
#include <fcntl.h>
#include <sys/stat.h>

#ifndef O_BINARY
#define O_BINARY 0
#endif
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
#ifdef _WIN32
// No symbolic links to refuse there: the entry's own status is all there is.
#define lstat stat
#endif
