/*
 * hvcore: the host's value library.
 *
 * A value (HVALUE) is a reference-counted handle with a type, data, an 8-bit
 * quality (192 = good) and a timestamp in seconds since 1970-01-01 (UTC).
 * The driver imports every function by ordinal except hvGetQuality and
 * hvSetQuality, which it imports by name; the ordinals are listed beside each
 * declaration and in hvcore.def.
 *
 * Conversions made by the getters (all others fail and leave *out untouched):
 *  - integer getters (I8..U32) accept any integer or real scalar whose value
 *    lies in the target's range (reals are truncated toward zero and must be
 *    finite), and a string that holds a complete decimal or 0x-hex integer
 *    (optional sign, then digits; no blanks);
 *  - real getters (R32, R64) accept any integer or real scalar and a string
 *    that holds a complete decimal number (sign, digits, point, exponent; no
 *    blanks, "inf", "nan" or hex). hvGetR32 fails for finite values beyond
 *    the float range; infinities and NaN are carried over;
 *  - hvGetTime accepts only TIME; hvGetString accepts only STR.
 * Scalar getters never look inside arrays, lists or HVAL values.
 *
 * hvGetCount gives the elements of an array, the items of a list, 0 for null
 * and 1 for any other scalar (a HVAL scalar included). Element indices run
 * from 0 to hvGetCount - 1; element i of a list is its item i.
 * Element getters apply the same rules to element i of an array (for arrays
 * of values and for lists, to the element value); index 0 of a scalar is the
 * scalar itself, and of a HVAL scalar the held value.
 * Element setters on a null or plain scalar make the value a scalar of the
 * setter's type (index 0 only); on an array of values, a list or a HVAL
 * scalar they replace the element's content; on a typed array the setter must
 * be of the element's kind (numbers for 0x81..0x88, strings for 0x89, times
 * for 0x8B) and a number must fit the element type by the getter rules.
 * Elements of 0x80 and 0x8C arrays cannot be set (0x8C elements stay lists;
 * change them through hvGetElement).
 *
 * hvGetElement returns the element as a value of its own. For arrays of values
 * (0x8A), of lists (0x8C), list items and a HVAL scalar it is the live
 * element: writing it changes the parent. For the other arrays, and index 0
 * of a plain scalar, it is a detached copy carrying the parent's quality and
 * timestamp. On failure *element is left untouched.
 *
 * hvSetType ignores the count for scalar types (a zero or empty scalar, an
 * empty list, a HVAL holding a new null value). Changing data never changes
 * quality or timestamp. Times with milliseconds above 999 are refused, as are
 * non-finite timestamps. hvListAppend works only on lists (at most 65535
 * items); hvListFirst accepts a null position. hvArrayDataXX gives null for
 * an empty array.
 *
 * The flat image layout is described at the top of hvcore/flatten.cpp.
 *
 * Calendar records (hvTimeToCalendar, hvCalendarToTime) use the local time
 * zone of the system, with its daylight saving rules for the given date;
 * hvCalendarToTime fails for invalid dates and for instants outside the
 * range of hvTime (1970-01-01 to 2106-02-07 UTC).
 * A new value is null, with quality 192 and the current time as timestamp.
 */
#ifndef QUILLON_HVCORE_H
#define QUILLON_HVCORE_H

#include <stdint.h>

#ifdef HVCORE_BUILD
#define HVAPI __declspec(dllexport)
#else
#define HVAPI __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct hvValue *HVALUE;
typedef void *hvPosition;

enum hvTypeCode {
    HV_NULL = 0,
    HV_I8 = 1,
    HV_U8 = 2,
    HV_I16 = 3,
    HV_U16 = 4,
    HV_I32 = 5,
    HV_U32 = 6,
    HV_R32 = 7,
    HV_R64 = 8,
    HV_STR = 9,
    HV_HVAL = 10,
    HV_TIME = 11,
    HV_LIST = 12,
    HV_ARRAY = 0x80
};

enum { HV_QUALITY_GOOD = 192, HV_MAX_COUNT = 65535 };

typedef struct hvTime {
    uint32_t seconds;      /* since 1970-01-01 00:00:00 UTC */
    uint16_t milliseconds;
} hvTime;

#pragma pack(push, 1)
typedef struct hvCalendar {
    uint16_t year;
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
    uint16_t millisecond;
} hvCalendar;
#pragma pack(pop)

HVAPI void hvGetCurrentTime(hvTime *now);                                  /* 7 */
HVAPI HVALUE hvCreate(void);                                               /* 13 */
HVAPI int hvCopy(HVALUE destination, HVALUE source);                       /* 14 */
HVAPI HVALUE hvDuplicate(HVALUE h);                                        /* 15 */
HVAPI long hvAddRef(HVALUE h);                                             /* 16 */
HVAPI long hvRelease(HVALUE h);                                            /* 17 */
HVAPI void hvSetNull(HVALUE h);                                            /* 18 */

HVAPI int hvSetI8(HVALUE h, int8_t v);                                     /* 19 */
HVAPI int hvGetI8(HVALUE h, int8_t *v);                                    /* 20 */
HVAPI int hvSetU8(HVALUE h, uint8_t v);                                    /* 21 */
HVAPI int hvGetU8(HVALUE h, uint8_t *v);                                   /* 22 */
HVAPI int hvSetI16(HVALUE h, int16_t v);                                   /* 23 */
HVAPI int hvGetI16(HVALUE h, int16_t *v);                                  /* 24 */
HVAPI int hvSetU16(HVALUE h, uint16_t v);                                  /* 25 */
HVAPI int hvGetU16(HVALUE h, uint16_t *v);                                 /* 26 */
HVAPI int hvSetI32(HVALUE h, int32_t v);                                   /* 27 */
HVAPI int hvGetI32(HVALUE h, int32_t *v);                                  /* 28 */
HVAPI int hvSetU32(HVALUE h, uint32_t v);                                  /* 29 */
HVAPI int hvGetU32(HVALUE h, uint32_t *v);                                 /* 30 */
HVAPI int hvSetR32(HVALUE h, float v);                                     /* 31 */
HVAPI int hvGetR32(HVALUE h, float *v);                                    /* 32 */
HVAPI int hvSetR64(HVALUE h, double v);                                    /* 33 */
HVAPI int hvGetR64(HVALUE h, double *v);                                   /* 34 */
HVAPI int hvSetTime(HVALUE h, const hvTime *v);                            /* 35 */
HVAPI int hvGetTime(HVALUE h, hvTime *v);                                  /* 36 */
HVAPI int hvSetString(HVALUE h, const char *text);                         /* 37: copied */
HVAPI int hvGetString(HVALUE h, const char **text);                        /* 38: owned by h */

HVAPI int hvSetElementI32(HVALUE h, unsigned index, int32_t v);            /* 48 */
HVAPI int hvGetElementI32(HVALUE h, unsigned index, int32_t *v);           /* 49 */
HVAPI int hvSetElementU32(HVALUE h, unsigned index, uint32_t v);           /* 50 */
HVAPI int hvGetElementU32(HVALUE h, unsigned index, uint32_t *v);          /* 51 */
HVAPI int hvSetElementR32(HVALUE h, unsigned index, float v);              /* 52 */
HVAPI int hvGetElementR32(HVALUE h, unsigned index, float *v);             /* 53 */
HVAPI int hvSetElementR64(HVALUE h, unsigned index, double v);             /* 54 */
HVAPI int hvGetElementR64(HVALUE h, unsigned index, double *v);            /* 55 */
HVAPI int hvSetElementTime(HVALUE h, unsigned index, const hvTime *v);     /* 56 */
HVAPI int hvGetElementTime(HVALUE h, unsigned index, hvTime *v);           /* 57 */
HVAPI int hvSetElementString(HVALUE h, unsigned index, const char *text);  /* 58 */
HVAPI int hvGetElementString(HVALUE h, unsigned index, const char **text); /* 59 */
HVAPI int hvGetElement(HVALUE h, unsigned index, HVALUE *element);         /* 60: caller releases */
HVAPI int hvSetType(HVALUE h, unsigned type, unsigned count);              /* 61 */

HVAPI int8_t *hvArrayDataI8(HVALUE h);                                     /* 62 */
HVAPI uint8_t *hvArrayDataU8(HVALUE h);                                    /* 63 */
HVAPI int16_t *hvArrayDataI16(HVALUE h);                                   /* 64 */
HVAPI uint16_t *hvArrayDataU16(HVALUE h);                                  /* 65 */
HVAPI int32_t *hvArrayDataI32(HVALUE h);                                   /* 66 */
HVAPI uint32_t *hvArrayDataU32(HVALUE h);                                  /* 67 */
HVAPI float *hvArrayDataR32(HVALUE h);                                     /* 68 */
HVAPI double *hvArrayDataR64(HVALUE h);                                    /* 69 */

HVAPI int hvIsList(HVALUE h);                                              /* 77 */
HVAPI unsigned hvGetCount(HVALUE h);                                       /* 78 */
HVAPI int hvSetTimestamp(HVALUE h, double seconds);                        /* 79 */
HVAPI double hvGetTimestamp(HVALUE h);                                     /* 82 */
HVAPI int hvCalendarToTime(const hvCalendar *calendar, hvTime *time);      /* 83 */
HVAPI int hvTimeToCalendar(const hvTime *time, hvCalendar *calendar);      /* 84 */
HVAPI int hvListAppend(HVALUE list, HVALUE item);                          /* 86: keeps a copy */
HVAPI unsigned hvListCount(HVALUE list);                                   /* 87 */
HVAPI HVALUE hvListFirst(HVALUE list, hvPosition *position);               /* 88: borrowed */
HVAPI HVALUE hvListNext(HVALUE list, hvPosition *position);                /* 89: borrowed */
HVAPI unsigned hvGetType(HVALUE h);                                        /* 105 */
HVAPI unsigned hvFlatten(HVALUE h, void *buffer);                          /* 106: bytes written */
HVAPI int hvUnflatten(HVALUE h, const void *buffer, unsigned size);        /* 107 */
HVAPI unsigned hvFlatSize(HVALUE h);                                       /* 108 */
HVAPI long hvLiveCount(void);                                              /* 200: values alive */

HVAPI int hvSetQuality(HVALUE h, unsigned quality);                        /* by name */
HVAPI unsigned hvGetQuality(HVALUE h);                                     /* by name */

#ifdef __cplusplus
}
#endif

#endif
