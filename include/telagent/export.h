#pragma once
// Symbols the host executable and field tools may call.  Everything else in the
// library is built with hidden visibility.
#define TELAGENT_API __attribute__((visibility("default")))
#ifdef __cplusplus
#define TELAGENT_EXTERN_C_BEGIN extern "C" {
#define TELAGENT_EXTERN_C_END }
#else
#define TELAGENT_EXTERN_C_BEGIN
#define TELAGENT_EXTERN_C_END
#endif
