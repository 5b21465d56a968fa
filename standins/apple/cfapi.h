#pragma once

// The C interface of our CoreFoundation stand-in: reference-counted values
// (null, booleans, numbers, strings, data, dates, time zones, dictionaries
// and arrays) and property-list serialisation. The program never includes
// this file: it looks every function up by name at run time. Only the
// MobileDevice stand-in, which builds values for the phones it simulates,
// links against it.

#include <cstdint>

extern "C" {

typedef const void *CFTypeRef;
typedef const void *CFAllocatorRef;
typedef const void *CFStringRef;
typedef const void *CFDataRef;
typedef const void *CFNumberRef;
typedef const void *CFBooleanRef;
typedef const void *CFDateRef;
typedef const void *CFTimeZoneRef;
typedef const void *CFDictionaryRef;
typedef void *CFMutableDictionaryRef;
typedef const void *CFArrayRef;
typedef void *CFMutableArrayRef;
typedef const void *CFPropertyListRef;
typedef void *CFErrorRef;
typedef unsigned long CFTypeID;
typedef long CFIndex;
typedef unsigned long CFOptionFlags;
typedef unsigned char Boolean;
typedef double CFAbsoluteTime;
typedef double CFTimeInterval;
typedef uint32_t CFStringEncoding;
typedef CFIndex CFNumberType;
typedef CFIndex CFPropertyListFormat;

struct CFRange
{
    CFIndex location;
    CFIndex length;
};

struct CFGregorianDate
{
    int32_t year;
    int8_t month;
    int8_t day;
    int8_t hour;
    int8_t minute;
    double second;
};

typedef const void *(*CFRetainCallBack)(CFAllocatorRef, const void *);
typedef void (*CFReleaseCallBack)(CFAllocatorRef, const void *);
typedef CFStringRef (*CFCopyDescriptionCallBack)(const void *);
typedef Boolean (*CFEqualCallBack)(const void *, const void *);
typedef unsigned long (*CFHashCallBack)(const void *);

// One layout serves the key, value and array tables.
struct CFCallBacks
{
    CFIndex version;
    CFRetainCallBack retain;
    CFReleaseCallBack release;
    CFCopyDescriptionCallBack copyDescription;
    CFEqualCallBack equal;
    CFHashCallBack hash;
};

enum : uint32_t { kCFStringEncodingUTF8 = 0x08000100, kCFStringEncodingASCII = 0x0600 };
enum : CFIndex { kCFPropertyListXMLFormat_v1_0 = 100, kCFPropertyListBinaryFormat_v1_0 = 200 };

extern const CFBooleanRef kCFBooleanTrue;
extern const CFBooleanRef kCFBooleanFalse;
extern const CFCallBacks kCFTypeDictionaryKeyCallBacks;
extern const CFCallBacks kCFTypeDictionaryValueCallBacks;
extern const CFCallBacks kCFTypeArrayCallBacks;

CFTypeID CFGetTypeID(CFTypeRef cf);
CFTypeRef CFRetain(CFTypeRef cf);
void CFRelease(CFTypeRef cf);
Boolean CFEqual(CFTypeRef a, CFTypeRef b);
CFIndex CFGetRetainCount(CFTypeRef cf);

CFTypeID CFNullGetTypeID(void);
CFTypeID CFBooleanGetTypeID(void);
CFTypeID CFNumberGetTypeID(void);
CFTypeID CFStringGetTypeID(void);
CFTypeID CFDataGetTypeID(void);
CFTypeID CFDateGetTypeID(void);
CFTypeID CFTimeZoneGetTypeID(void);
CFTypeID CFDictionaryGetTypeID(void);
CFTypeID CFArrayGetTypeID(void);

Boolean CFBooleanGetValue(CFBooleanRef b);

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType type, const void *valuePtr);
CFNumberType CFNumberGetType(CFNumberRef number);
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType type, void *valuePtr);

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const uint8_t *bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation);
CFIndex CFStringGetLength(CFStringRef string);
CFIndex CFStringGetBytes(CFStringRef string, CFRange range, CFStringEncoding encoding,
                         uint8_t lossByte, Boolean isExternalRepresentation, uint8_t *buffer,
                         CFIndex maxBufLen, CFIndex *usedBufLen);

CFDataRef CFDataCreate(CFAllocatorRef, const uint8_t *bytes, CFIndex length);
CFIndex CFDataGetLength(CFDataRef data);
void CFDataGetBytes(CFDataRef data, CFRange range, uint8_t *buffer);
const uint8_t *CFDataGetBytePtr(CFDataRef data);

CFDateRef CFDateCreate(CFAllocatorRef, CFAbsoluteTime at);
CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef date);
CFGregorianDate CFAbsoluteTimeGetGregorianDate(CFAbsoluteTime at, CFTimeZoneRef tz);
CFAbsoluteTime CFGregorianDateGetAbsoluteTime(CFGregorianDate gdate, CFTimeZoneRef tz);
CFTimeZoneRef CFTimeZoneCreateWithTimeIntervalFromGMT(CFAllocatorRef, CFTimeInterval ti);
CFTimeZoneRef CFTimeZoneCreateWithName(CFAllocatorRef, CFStringRef name, Boolean tryAbbrev);

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex capacity,
                                                 const CFCallBacks *keyCallBacks,
                                                 const CFCallBacks *valueCallBacks);
const void *CFDictionaryGetValue(CFDictionaryRef dict, const void *key);
void CFDictionarySetValue(CFMutableDictionaryRef dict, const void *key, const void *value);
CFIndex CFDictionaryGetCount(CFDictionaryRef dict);
void CFDictionaryGetKeysAndValues(CFDictionaryRef dict, const void **keys, const void **values);

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef, CFIndex capacity,
                                       const CFCallBacks *callBacks);
void CFArrayAppendValue(CFMutableArrayRef array, const void *value);
CFIndex CFArrayGetCount(CFArrayRef array);
const void *CFArrayGetValueAtIndex(CFArrayRef array, CFIndex index);

CFDataRef CFPropertyListCreateData(CFAllocatorRef, CFPropertyListRef plist,
                                   CFPropertyListFormat format, CFOptionFlags options,
                                   CFErrorRef *error);
CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef, CFDataRef data,
                                               CFOptionFlags options, CFPropertyListFormat *format,
                                               CFErrorRef *error);

// Stand-in only: the number of values alive now (booleans excluded), for
// tests that look for leaks and double releases.
CFIndex CFStandinLiveObjectCount(void);
}
