/*
 * liblog.h - the log call of the guest's programs, for the host's own programs.
 *
 * One call gives one line on standard error, "<letter>/<tag>: <text>", with a
 * newline added when the text has none. Each line is written whole, so lines
 * of different threads never mix. Usable from C11 and C++.
 */
#ifndef LIBLOG_H
#define LIBLOG_H

#ifdef __cplusplus
extern "C" {
#endif

/* Priorities and the letters they print as; any other value prints as '?'. */
enum {
    KLOG_VERBOSE = 2, /* V */
    KLOG_DEBUG = 3,   /* D */
    KLOG_INFO = 4,    /* I */
    KLOG_WARN = 5,    /* W */
    KLOG_ERROR = 6,   /* E */
    KLOG_FATAL = 7    /* F */
};

/* Formats like printf and writes the line; the number of bytes handed to
 * standard error, or -1 when the line could not be formed or written. */
int __android_log_print(int priority, const char *tag, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(gnu_printf, 3, 4)))
#endif
    ;

#ifdef __cplusplus
}
#endif

#endif /* LIBLOG_H */
