from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple, Union

from .auth import ScrivaneAuth
from .models import AssinaturaExtraida, AssinaturaVerificada, EmpresaExtraida, EmpresaVerificada

class ContractChecker:
    verbose: bool
    model: str
    usar_ai_search: bool
    def __init__(
        self,
        api_token: Optional[str] = None,
        openai_api_key: Optional[str] = None,
        provider: Optional[str] = None,
        azure_api_key: Optional[str] = None,
        azure_endpoint: Optional[str] = None,
        azure_deployment: Optional[str] = None,
        azure_api_version: str = "2024-02-15-preview",
        model: str = "gpt-4o",
        verbose: bool = True,
        usar_ai_search: bool = True,
    ) -> None: ...
    @property
    def auth(self) -> ScrivaneAuth: ...
    @property
    def token(self) -> Optional[str]: ...
    @property
    def provider(self) -> Optional[str]: ...
    def _log(self, msg: str, emoji: str = "📋") -> None: ...
    def _init_scrivane(self) -> bool: ...
    def _setup_questions(self) -> None: ...
    def verificar(self, documento: Union[str, Path]) -> Dict[str, Any]: ...
    def _normalizar_texto(self, texto: str) -> str: ...
    def _comparar_nomes(self, nome1: str, nome2: str) -> bool: ...
    def _verificar_poder_assinatura(
        self, nome_signatario: str, dados_receita: Dict[str, Any]
    ) -> Tuple[bool, Optional[str]]: ...
    def _validar_empresas(
        self, empresas: List[EmpresaExtraida]
    ) -> Tuple[List[EmpresaVerificada], Dict[str, Dict[str, Any]]]: ...
    def _validar_assinaturas(
        self, assinaturas: List[AssinaturaExtraida], dados_receita_cache: Dict[str, Dict[str, Any]]
    ) -> List[AssinaturaVerificada]: ...
    def _imprimir_relatorio(
        self,
        resultado_final: str,
        justificativa: str,
        campos_aprovados: List[str],
        campos_reprovados: List[str],
        campos_pendentes: List[str],
        empresas: List[EmpresaVerificada],
        assinaturas: List[AssinaturaVerificada],
        dados_contrato: dict,
        metricas: Any,
    ) -> None: ...

def verificar_contrato(
    documento: Union[str, Path], openai_api_key: Optional[str] = None, verbose: bool = True
) -> Dict[str, Any]: ...
