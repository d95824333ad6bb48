#pragma once

namespace nimbrel {

// The host's version, from the build ("1.0.0" unless the project says otherwise).
const char* hostVersion();

}  // namespace nimbrel
