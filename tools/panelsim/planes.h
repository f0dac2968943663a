// What the simulated panel shows, read from the daemon's plane files under
// ROOT/sim/ (read-only; the daemon may be running).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

using Json = nlohmann::ordered_json;

// fb0's picture with fb1's shown buffer laid over it by alpha, RGB at plane
// size. False when there are no planes (no daemon has run in ROOT).
bool compose_panel(const std::string& root, uint32_t* w, uint32_t* h, std::vector<uint8_t>* rgb);
// The plane state: backlight and rotator texts, plane switches and fb0's
// picture configuration.
Json panel_state(const std::string& root);
