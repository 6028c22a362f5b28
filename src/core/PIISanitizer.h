// Privacy mode's filter over tool results: finds e-mail addresses and phone numbers in every
// string of a JSON tree and puts the session's tokens in their place (or the values back).
#pragma once

#include "core/JSONValue.h"
#include "core/PIISession.h"

namespace tvrn::PIISanitizer {

// The tree with every e-mail address, then every phone number, in its strings (object values and
// array elements at any depth) replaced by a token of the session. Keys and numbers are untouched.
JSONValue sanitize(const JSONValue& value, PIISession& session);

// The inverse: every known token in the tree's strings replaced by its plain value.
JSONValue resolve(const JSONValue& value, const PIISession& session);

}  // namespace tvrn::PIISanitizer
