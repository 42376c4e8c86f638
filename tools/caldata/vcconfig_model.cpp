// The lap-function, fuel and GPS segment channels of vcconfig (layouts in calc/awm_model_cfg.h):
//
//   channel <n> lapfunc [raster <i>] [<field> <value>]...
//   channel <n> fuelcons [raster <i>] [<field> <value>]...
//   channel <n> gpsseg [raster <i>] [radius <m>] [point <lat>,<lon>]...
//
// lapfunc fields: mode beacon|gps; sig_act_lvl, trig_cfg, segtime_mode, cntdowntime_mode,
// start_lap, start_outing (integers); main_trig_time_min, im_trig_time_min (ms),
// main_retrig_lock, im_retrig_lock (s), cnd_speed_min, cnd_dist_min, cnd_dist_max, lap_length (m),
// laptimepred, laptibest_pl, laptibest_set, cntdowntime_set, cntdowntime_init (s), distlap_init,
// outing_distance (m), beacon_threshold, gps_radius (m), gps_lat, gps_long (degrees); lapseg and
// lapsegpred: comma-separated lists of up to 100 values (segment ends as fractions of the lap
// length, predicted segment times in s); inputs beacon, speed (in m/s after conversion), lat, lon,
// gps_speed (km/h), heading.
// fuelcons fields: sig_act_lvl, input_mode, lap_remaining_mode (integers); adaption_factor,
// correction_factor, tank_capacity, target_lap_cons, reset_threshold; inputs fuel, reset.
// An input is written as vcconfig's inputs are (NAME, NAME[i], calc:<m>, 0xADDR:<code>); its
// conversion as "<input>.conv a,b,c,d,e,f" ((a x^2 + b x + c) / (d x^2 + e x + f), identity by
// default) and the device that holds it as "<input>.pid <pid>" (default this device).
#include "vcconfig_parse.h"

#include "calc/awm_model_cfg.h"

#include <functional>
#include <map>
#include <memory>

namespace vcconfig {
namespace {

std::vector<float> list(const std::string& text, size_t max, const char* what) {
    std::vector<float> out;
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ',')) out.push_back(real(item, std::string(what) + " " + quoted(item)));
    if (out.size() > max)
        throw Fault{std::string(what) + " has more than " + std::to_string(max) + " values"};
    return out;
}

using Setter = std::function<void(const std::string&)>;

struct Fields {
    const caldata::CalDataset& data;
    std::map<std::string, Setter> setters;

    void u8(const char* key, uint8_t* to) {
        setters[key] = [to, key](const std::string& v) { *to = uint8_t(number(v, 0xFF, key)); };
    }
    void u16(const char* key, uint16_t* to) {
        setters[key] = [to, key](const std::string& v) { *to = uint16_t(number(v, 0xFFFF, key)); };
    }
    void f32(const char* key, float* to) {
        setters[key] = [to, key](const std::string& v) { *to = real(v, std::string(key) + " " + quoted(v)); };
    }
    void table(const char* key, float* to, size_t n) {
        setters[key] = [to, n, key](const std::string& v) {
            const std::vector<float> values = list(v, n, key);
            for (size_t i = 0; i < n; ++i) to[i] = i < values.size() ? values[i] : 0.0f;
        };
    }
    void input(const std::string& key, awm_input_cfg* to) {
        const caldata::CalDataset* d = &data;
        setters[key] = [to, d](const std::string& v) {
            uint8_t type = 0;
            parseInput(*d, v, &to->address, &type);
            to->type = type;
        };
        setters[key + ".pid"] = [to](const std::string& v) { to->pid = uint16_t(number(v, 63, "PID")); };
        setters[key + ".conv"] = [to, key](const std::string& v) {
            const std::vector<float> k = list(v, 6, "conversion");
            if (k.size() != 6) throw Fault{"the conversion of " + key + " needs six values a,b,c,d,e,f"};
            for (int i = 0; i < 6; ++i) to->coef[i] = k[i];
        };
    }

    void apply(std::istringstream& in, uint8_t* raster) {
        std::string key, value;
        while (in >> key) {
            if (!(in >> value)) throw Fault{quoted(key) + " needs a value"};
            if (key == "raster") {
                *raster = uint8_t(number(value, AWM_VC_RASTERS - 1, "raster index"));
                continue;
            }
            const auto found = setters.find(key);
            if (found == setters.end()) throw Fault{"unknown field " + quoted(key)};
            found->second(value);
        }
    }
};

void lapfunc(Fields& f, awm_lapfunc_cfg& c) {
    f.setters["mode"] = [&c](const std::string& v) {
        if (v != "beacon" && v != "gps") throw Fault{"mode " + quoted(v) + " is neither beacon nor gps"};
        c.triggerMode = v == "gps" ? AWM_LAPFUNC_GPS : AWM_LAPFUNC_BEACON;
    };
    f.u8("sig_act_lvl", &c.sigActLvl);
    f.u8("trig_cfg", &c.trigCfg);
    f.u8("segtime_mode", &c.segTimeMode);
    f.u8("cntdowntime_mode", &c.cntDownTimeMode);
    f.u16("start_lap", &c.startLap);
    f.u16("start_outing", &c.startOuting);
    const std::pair<const char*, float*> reals[] = {{"main_trig_time_min", &c.mainTrigTimeMin},
                                                    {"im_trig_time_min", &c.imTrigTimeMin},
                                                    {"main_retrig_lock", &c.mainRetrigLock},
                                                    {"im_retrig_lock", &c.imRetrigLock},
                                                    {"cnd_speed_min", &c.cndSpeedMin},
                                                    {"cnd_dist_min", &c.cndDistMin},
                                                    {"cnd_dist_max", &c.cndDistMax},
                                                    {"lap_length", &c.lapLength},
                                                    {"laptimepred", &c.lapTimePred},
                                                    {"laptibest_pl", &c.lapTiBestPl},
                                                    {"laptibest_set", &c.lapTiBestSet},
                                                    {"cntdowntime_set", &c.cntDownTimeSet},
                                                    {"cntdowntime_init", &c.cntDownTimeInit},
                                                    {"distlap_init", &c.distLapInit},
                                                    {"outing_distance", &c.outingDistance},
                                                    {"beacon_threshold", &c.beaconThreshold},
                                                    {"gps_radius", &c.gpsRadius},
                                                    {"gps_lat", &c.gpsLat},
                                                    {"gps_long", &c.gpsLong}};
    for (const auto& [key, to] : reals) f.f32(key, to);
    f.table("lapseg", c.lapSeg, AWM_LAPFUNC_SEGMENTS);
    f.table("lapsegpred", c.lapSegPred, AWM_LAPFUNC_SEGMENTS);
    f.input("beacon", &c.beacon);
    f.input("speed", &c.speed);
    f.input("lat", &c.lat);
    f.input("lon", &c.lon);
    f.input("gps_speed", &c.gpsSpeed);
    f.input("heading", &c.heading);
}

void fuelcons(Fields& f, awm_fuelcons_cfg& c) {
    f.u8("sig_act_lvl", &c.fcSigActLvl);
    f.u8("input_mode", &c.fuelInputMode);
    f.u8("lap_remaining_mode", &c.lapRemainingMode);
    f.f32("adaption_factor", &c.adaptionFactor);
    f.f32("correction_factor", &c.correctionFactor);
    f.f32("tank_capacity", &c.tankCapacity);
    f.f32("target_lap_cons", &c.targetLapCons);
    f.f32("reset_threshold", &c.resetThreshold);
    f.input("fuel", &c.fuel);
    f.input("reset", &c.reset);
}

void gpsseg(Fields& f, awm_gpsseg_cfg& c) {
    f.f32("radius", &c.radius);
    f.setters["point"] = [&c](const std::string& v) {
        const std::vector<float> p = list(v, 2, "point");
        if (p.size() != 2) throw Fault{"point " + quoted(v) + " needs <lat>,<lon>"};
        if (c.count >= AWM_GPSSEG_POINTS) throw Fault{"more than 50 points"};
        c.point[c.count++] = {p[0], p[1]};
    };
}

template <class Cfg>
void encode(uint16_t module, uint8_t raster, const Cfg& cfg, std::vector<uint8_t>* records) {
    records->assign(awm_vc_recordsFor(sizeof cfg) * AWM_VC_RECORD_SIZE, 0);
    awm_vc_encodePayload(module, raster, &cfg, sizeof cfg, records->data());
}

} // namespace

bool parseModelChannel(const caldata::CalDataset& data, const std::string& kind, uint8_t raster,
                       std::istringstream& in, std::vector<uint8_t>* records) {
    Fields f{data, {}};
    if (kind == "lapfunc") {
        auto cfg = std::make_unique<awm_lapfunc_cfg>();
        lapfunc(f, *cfg);
        f.apply(in, &raster);
        encode(AWM_MODULE_LAPFUNC, raster, *cfg, records);
    } else if (kind == "fuelcons") {
        awm_fuelcons_cfg cfg;
        fuelcons(f, cfg);
        f.apply(in, &raster);
        encode(AWM_MODULE_FUELCONS, raster, cfg, records);
    } else if (kind == "gpsseg") {
        auto cfg = std::make_unique<awm_gpsseg_cfg>();
        gpsseg(f, *cfg);
        f.apply(in, &raster);
        encode(AWM_MODULE_GPSSEG, raster, *cfg, records);
    } else {
        return false;
    }
    return true;
}

} // namespace vcconfig
