# SPDX-License-Identifier: MIT
# TFTP packets and OACK options (firmware upload)
netscry_add_fuzzer(tftp_packet SOURCES fuzz_tftp_packet.cpp LIBS tvp_tftp CORPUS corpus/tftp_packet)
netscry_add_fuzzer(tftp_options SOURCES fuzz_tftp_options.cpp LIBS tvp_tftp CORPUS corpus/tftp_options)
