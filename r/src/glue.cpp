// The R side of the shared layer: converts R values to the layer's plain values and back, and
// keeps R's calls on R's own thread.
#include <Rcpp.h>

#include <string>

#include "quillon/setting_names.h"

// [[Rcpp::export(.settingNames)]]
Rcpp::DataFrame settingNames() {
    Rcpp::CharacterVector names, kinds;
    for (const quillon::NamedSetting& setting : quillon::namedRunSettings()) {
        names.push_back(std::string(setting.name));
        switch (setting.kind) {
            case quillon::SettingKind::WholeNumber: kinds.push_back("whole number"); break;
            case quillon::SettingKind::Number: kinds.push_back("number"); break;
            case quillon::SettingKind::Text: kinds.push_back("text"); break;
            case quillon::SettingKind::Flag: kinds.push_back("flag"); break;
        }
    }
    return Rcpp::DataFrame::create(Rcpp::Named("name") = names, Rcpp::Named("kind") = kinds,
                                   Rcpp::Named("stringsAsFactors") = false);
}
