/* libstdc++'s configuration headers were generated for glibc and test its version with this macro;
 * against musl no glibc feature is present. */
#define __GLIBC_PREREQ(major, minor) 0
