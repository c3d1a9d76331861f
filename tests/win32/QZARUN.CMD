@echo off
rem The fake alarm program of the Windows tests: hands its arguments, as cmd
rem received them, to the recorder beside it.
"%~dp0recorder.exe" %*
