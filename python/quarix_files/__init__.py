"""Reading the files a Quarix board server records: list events, waveforms,
rate counters (BIN, CSV, JSON) and run statistics, one file or a whole run
folder at once. The byte layouts are in docs/file-formats.md.

    import quarix_files as qf
    run = qf.read_run("/tmp/quarix-data/7", strict=False)
    for problem in run.problems:
        print(problem)                      # file: byte offset: what is wrong
    events = run.blocks["list_dump"].events()
    print(events["energy_raw"][events["channel"] == 3])
"""

from .listfile import EVENT_DTYPE, read_list_file
from .problems import DamagedFileError, Problem
from .rates import join_snapshots, rate_dtype, read_rate_file
from .recorded import LIST, RATE, STATISTICS, WAVEFORM, RecordedFile
from .run import RUN_STAT_DTYPE, Block, Run, read_file, read_run
from .statistics import STAT_DTYPE, read_statistics_file
from .waveforms import WaveformRecord, Waveforms, read_waveform_file, wave_dtype

__all__ = ["EVENT_DTYPE", "STAT_DTYPE", "RUN_STAT_DTYPE", "LIST", "WAVEFORM", "RATE", "STATISTICS",
           "Block", "DamagedFileError", "Problem", "RecordedFile", "Run", "WaveformRecord", "Waveforms",
           "join_snapshots", "rate_dtype", "read_file", "read_list_file", "read_rate_file", "read_run",
           "read_statistics_file", "read_waveform_file", "wave_dtype"]
