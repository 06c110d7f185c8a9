// The value functions of the runtime table, also callable directly by host
// code that receives value handles. All are total: null handles, empty
// handles and values of the wrong kind give fixed defaults, and nothing
// throws.
#pragma once

#include "value/value.h"
#include "wexlor/wexlor.h"

// Stores the value functions into their members of `api`; touches nothing else.
wexlor_backend_api* wexlor_register_value_api(wexlor_backend_api* api);

bool ValueIsNull(wexlor_value* h);
bool ValueIsBool(wexlor_value* h);
bool ValueIsInt(wexlor_value* h);
bool ValueIsDouble(wexlor_value* h);
bool ValueIsString(wexlor_value* h);
bool ValueIsList(wexlor_value* h);
bool ValueIsDict(wexlor_value* h);
bool ValueIsBinary(wexlor_value* h);
bool ValueIsCallback(wexlor_value* h);
bool ValueGetBool(wexlor_value* h);
int32_t ValueGetInt(wexlor_value* h);
double ValueGetDouble(wexlor_value* h);
char* ValueGetString(wexlor_value* h, size_t* outLength);
void ValueFreeString(char* s);
size_t ValueListSize(wexlor_value* h);
wexlor_value* ValueListGet(wexlor_value* h, size_t index);
wexlor_value* ValueDictGet(wexlor_value* h, const char* key);
bool ValueDictHas(wexlor_value* h, const char* key);
size_t ValueDictSize(wexlor_value* h);
char** ValueDictKeys(wexlor_value* h, size_t* outCount);
void ValueFreeKeys(char** keys, size_t count);
const uint8_t* ValueGetBinary(wexlor_value* h, size_t* outSize);
uint64_t ValueGetCallbackId(wexlor_value* h);
wexlor_value* ValueNull(void* context);
wexlor_value* ValueBool(void* context, bool b);
wexlor_value* ValueInt(void* context, int32_t i);
wexlor_value* ValueDouble(void* context, double d);
wexlor_value* ValueString(void* context, const char* s);
wexlor_value* ValueList(void* context);
wexlor_value* ValueDict(void* context);
wexlor_value* ValueBinary(void* context, const void* data, size_t size);
bool ValueListAppend(wexlor_value* list, wexlor_value* item);
bool ValueListSet(wexlor_value* list, size_t index, wexlor_value* item);
bool ValueDictSet(wexlor_value* dict, const char* key, wexlor_value* item);
void ValueFree(wexlor_value* h);

// A new handle owning one share of `v` (which may be empty); null when
// memory runs out.
wexlor_value* NewValueHandle(std::shared_ptr<wexlor::Value> v);
