#pragma once
// Entry points of the fuzz targets: each feeds arbitrary bytes to one parser
// of outside input. The libFuzzer programs call them, and the unit tests
// replay every saved regression input through them.

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvantel::fuzz {

// values.log and pather.log, read at start-up by the real start-up code.
void settingsFiles(const std::uint8_t* data, std::size_t size);
// What a server sends on a control connection: reply assembly, the reply
// code, the size in a RETR reply, and a whole download dialogue driven by it.
void controlReplies(const std::uint8_t* data, std::size_t size);
// A listing: NLST name selection and LIST parsing.
void listing(const std::uint8_t* data, std::size_t size);
// The numeric test of the window's fields.
void numeric(const std::uint8_t* data, std::size_t size);

// Runs the target named by name ("settings", "replies", "listing",
// "numeric"); false for an unknown name.
bool run(const std::string& name, const std::uint8_t* data, std::size_t size);

}  // namespace corvantel::fuzz
