// QZA_EXPORT marks what the installed support library exports.
//
// The library is built with hidden symbols; the classes and functions of its
// installed headers carry this mark and are all that a program linking the
// library can reach. Where the object format knows no symbol visibility
// (Windows), the mark is empty.
#ifndef QZA_WDIR_EXPORT_H_
#define QZA_WDIR_EXPORT_H_

#if defined(__ELF__) && (defined(__GNUC__) || defined(__clang__))
#define QZA_EXPORT __attribute__((visibility("default")))
#else
#define QZA_EXPORT
#endif

#endif  // QZA_WDIR_EXPORT_H_
