// xuStrings: the texts of the design-time package.
#pragma once

namespace garvel::design {

inline constexpr const char* sPackageDescription = "Vornak Garvel Package";
/// The palette page of the components.
inline constexpr const char* sPalettePage = "Vornak";
/// The component editor's one verb.
inline constexpr const char* sAboutVerb = "About...";
/// Stands for a value the version data does not give.
inline constexpr const char* sNoData = "(brak)";
/// The common prefix of the component class names.
inline constexpr const char* sClassPrefix = "TxcGarvel";
inline constexpr const char* sWebAddress = "https://garvel.example.org/";
inline constexpr const char* sLegalWarning =
    "Warning: this computer program is protected by copyright law and international treaties. "
    "Unauthorized reproduction or distribution of this program, or any portion of it, may result "
    "in severe civil and criminal penalties, and will be prosecuted to the maximum extent possible "
    "under the law.";

} // namespace garvel::design
