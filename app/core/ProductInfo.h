#pragma once
// Names and addresses the program writes into its outputs and shows in its
// window; kept in one place so a rename touches one file.

inline constexpr const char* ProductName = "Varnowe";
inline constexpr const char* ProductWebAddress = "https://www.varnowe.example/";
inline constexpr const char* CompanyName = "Morvell Software";
inline constexpr const char* CompanyWebAddress = "https://www.morvell.example/";
inline constexpr const char* SupportAddress = "support@morvell.example";
