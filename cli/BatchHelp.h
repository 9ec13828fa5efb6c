#pragma once
// What varnowe-batch says about itself: --help and --version. The man page
// (dist/varnowe-batch.1) and the bash completion follow the same options.

// The full --help text, ending in a newline.
extern const char* const BatchHelpText;

// "varnowe-batch 1.8" and a newline.
extern const char* const BatchVersionText;
