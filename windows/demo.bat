@echo off
rem A whole run of quarvelin on the sample model of images\sample\, answered
rem from demo-answers.txt: the ASCII grid jacksboro.asc gives a bitmap and a
rem raw log DEM, written beside it under the name demo.
setlocal
cd /d "%~dp0"
rem The sample is under images\ of this folder, whatever the user's root.
set QUARVELIN_ROOT=
rem The files of an earlier demo are removed first, so that the listing
rem shows what this run wrote; other results are never touched.
del /q images\sample\demo_* 2>nul
quarvelin.exe < demo-answers.txt
echo.
echo.
echo The results of the demo are in images\sample\:
dir /b images\sample\demo_*
echo.
pause
