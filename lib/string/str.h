// Bounded string operations. A result that does not fit panics with
// "%s:%d Buffer too small\n" (this file's source path and the line).
#pragma once

#include <cstdarg>
#include <cstddef>

#include "lib/sig/log_hook.h"

// Copies src into dst of size bytes; panics when src does not fit.
char *Str_Strcpy(char *dst, const char *src, size_t size);
// Appends src to the string in dst of size bytes; panics when it does not fit.
char *Str_Strcat(char *dst, const char *src, size_t size);
// Formats into buf of size bytes; panics when the result does not fit.
int Str_Sprintf(char *buf, size_t size, const char *fmt, ...) SW_PRINTF(3, 4);
// Formats into buf; returns -1 (and a cut, NUL-terminated result) when it
// does not fit, never panics.
int Str_Snprintf(char *buf, size_t size, const char *fmt, ...) SW_PRINTF(3, 4);
int Str_Vsnprintf(char *buf, size_t size, const char *fmt, va_list args) SW_PRINTF(3, 0);
// Allocating formats (never return null; allocation failure panics).
char *Str_Asprintf(size_t *length, const char *fmt, ...) SW_PRINTF(2, 3);
char *Str_Vasprintf(size_t *length, const char *fmt, va_list args) SW_PRINTF(2, 0);
// Copies at most n bytes of src plus a NUL into dst of size bytes.
char *Str_Strncpy(char *dst, size_t size, const char *src, size_t n);
