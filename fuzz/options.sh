# Sourced by run.sh and campaign.sh: the libFuzzer options each harness runs
# with, in the array fuzz_options.
# -max_len bounds the input size: long inputs slow every execution and reach
# no code that shorter ones do not. -close_fd_mask=3 silences what the
# code under test prints; libFuzzer's own report still reaches stderr.
harness_options() {
  local h=$1
  fuzz_options=(-timeout=60 -close_fd_mask=3)
  [ -f "fuzz/$h.dict" ] && fuzz_options+=(-dict="fuzz/$h.dict")
  case $h in
    fuzz_decode) fuzz_options+=(-max_len=4096) ;;
    fuzz_round_trip) fuzz_options+=(-max_len=8192) ;;
    fuzz_name_list) fuzz_options+=(-max_len=4096) ;;
    fuzz_event_file) fuzz_options+=(-max_len=1024) ;;
    fuzz_whole_run) fuzz_options+=(-max_len=65536) ;;
    fuzz_names) fuzz_options+=(-max_len=8192) ;;
  esac
}
