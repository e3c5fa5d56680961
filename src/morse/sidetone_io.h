// The sidetone's only door to the life of libcw's second generator and its
// tuning key: making, starting, stopping and deleting them. What the
// sidetone sends through them goes to libcw directly. The request fuzzer
// puts a table here that keeps one generator for every reset.
#pragma once

#include <libcw2.h>

namespace varkel {

struct SidetoneIo {
    cw_gen_t* (*gen_new)(const cw_gen_config_t* config);
    cw_ret_t (*gen_start)(cw_gen_t* generator);
    cw_ret_t (*gen_stop)(cw_gen_t* generator);
    void (*gen_delete)(cw_gen_t** generator);
    cw_key_t* (*key_new)();
    void (*key_register_generator)(volatile cw_key_t* key, cw_gen_t* generator);
    void (*key_delete)(cw_key_t** key);
};

// libcw's own calls, and the table the sidetone uses (libcw's by default).
extern const SidetoneIo kLibcwSidetoneIo;
extern SidetoneIo sidetone_io;

}  // namespace varkel
