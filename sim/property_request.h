// The property service's side of a request to set a system property: the record the
// program's client sends (base/system_property.h), decoded for the simulator and the tests.
#pragma once

#include <string>

struct PropertyRequest {
  std::string name;
  std::string value;
};

// Decodes one request as received; false with the reason in `refused` when it is not a
// whole, well-formed request to set a property.
bool decode_property_request(const std::string& bytes, PropertyRequest* request,
                             std::string* refused);
