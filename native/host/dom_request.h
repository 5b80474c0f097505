// The request reader the host had before the streaming one: the JSON library parses the whole
// body into a document, whose top-level members then fill the request table. Kept for the
// differential fuzz target and the benchmarks; the host itself uses ServeBody.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "host/request.h"

namespace host {

// The table as the document's top-level members give it.
void FillFromDocument(const nlohmann::json& document, Request& request);

// ServeBody with the document parse in place of the streaming reader.
void ServeBodyWithDocument(std::string_view body, std::string& reply, std::FILE* out);

}  // namespace host
