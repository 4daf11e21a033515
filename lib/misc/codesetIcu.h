// ICU's converter entry points for the code-set service.
#pragma once

// ICU is resolved by hand (see CodeSetIcuApi): plain, unversioned names.
#define U_DISABLE_RENAMING 1
#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>
#include <unicode/utypes.h>

// ICU's converter entry points, resolved from the library at run time. The
// agent must start on hosts whose ICU has another soname (or none), so ICU
// is never linked.
struct IcuApi {
  UConverter *(*ucnv_open)(const char *name, UErrorCode *err);
  void (*ucnv_close)(UConverter *cnv);
  void (*ucnv_convertEx)(UConverter *targetCnv, UConverter *sourceCnv, char **target,
                         const char *targetLimit, const char **source, const char *sourceLimit,
                         UChar *pivotStart, UChar **pivotSource, UChar **pivotTarget,
                         const UChar *pivotLimit, UBool reset, UBool flush, UErrorCode *err);
  void (*ucnv_setToUCallBack)(UConverter *cnv, UConverterToUCallback action, const void *context,
                              UConverterToUCallback *oldAction, const void **oldContext,
                              UErrorCode *err);
  void (*ucnv_setFromUCallBack)(UConverter *cnv, UConverterFromUCallback action,
                                const void *context, UConverterFromUCallback *oldAction,
                                const void **oldContext, UErrorCode *err);
  void (*u_setDataDirectory)(const char *directory);
  UConverterToUCallback toUStop;
  UConverterFromUCallback fromUStop;
  UConverterToUCallback toUSubstitute;
  UConverterFromUCallback fromUSubstitute;
  UConverterToUCallback toUEscape;
  UConverterFromUCallback fromUEscape;
  int version;  // the soname's major version
};

// Loads ICU's common library once (dlopen, never unloaded); null when no
// usable ICU is installed.
const IcuApi *CodeSetIcuApi(void);
