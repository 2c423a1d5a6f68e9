// Gateway logger (stand-in of the closed gateway library).
//
// log_init(module, target, min_level, color_level):
//   target       where lines go: 0 nowhere, 1 standard error, 2 the file named by
//                GATEWAY_LOG_FILE (standard error when unset or unopenable).
//   min_level    lines below this level are dropped. GATEWAY_LOG_LEVEL overrides it,
//                which is how an integrator filters: GATEWAY_LOG_LEVEL=2 keeps only
//                failures and worse.
//   color_level  lines at or above this level are highlighted when the target is a
//                terminal.
// Levels: 0 trace, 1 info, 2 failure, 3 invalid input or exhausted resource.
//
// Every log_print call writes exactly one line with a single write(2), so lines from
// different threads never interleave; it never blocks on a lock.
#ifndef GATEWAY_LOGGER_H
#define GATEWAY_LOGGER_H

#ifdef __cplusplus
extern "C" {
#endif

int log_init(const char* module, int target, int min_level, int color_level);

void log_print(int level, const char* color, const char* tag, const char* file,
               const char* func, int line, const char* fmt, ...)
    __attribute__((format(printf, 7, 8)));

#ifdef __cplusplus
}
#endif

#endif
