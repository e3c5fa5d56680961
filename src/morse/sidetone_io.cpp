#include "morse/sidetone_io.h"

namespace varkel {

const SidetoneIo kLibcwSidetoneIo = {
    .gen_new = cw_gen_new,
    .gen_start = cw_gen_start,
    .gen_stop = cw_gen_stop,
    .gen_delete = cw_gen_delete,
    .key_new = cw_key_new,
    .key_register_generator = cw_key_register_generator,
    .key_delete = cw_key_delete,
};

SidetoneIo sidetone_io = kLibcwSidetoneIo;

}  // namespace varkel
