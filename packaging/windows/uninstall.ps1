<#
.SYNOPSIS
  Removes the registry keys and manifests that install.ps1 wrote. Takes -AllUsers and -Name too.
#>
param([string]$Name = 'org.tessera.smartcard', [switch]$AllUsers)
& (Join-Path $PSScriptRoot 'install.ps1') -Uninstall -Name $Name -AllUsers:$AllUsers
