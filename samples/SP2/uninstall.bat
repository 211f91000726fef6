REM Removes Parvel for Exchange 5.0 Service Pack 2 from this server.
"%~dp0patchstarter.exe" uninstall
